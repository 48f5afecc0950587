#pragma once
// Layouts of the public records as numpy needs them: every member's name,
// numpy type and offset, taken from the compiler (offsetof), so the dtypes
// can never drift from the header.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zavo {
namespace py {

struct FieldLayout {
  std::string name;
  std::string format;  // numpy type text, e.g. "<i8", "S16", "(10,)<u8"
  size_t offset;
};

struct RecordLayout {
  std::string kind;   // "security", "trade", ..., "code", "option_code"
  uint32_t msg_type;  // ZAVO_MSG_* for market data, 0 for the code tables
  size_t itemsize;
  std::vector<FieldLayout> fields;
};

// Every record that Python sees as a numpy structured array.
const std::vector<RecordLayout>& RecordLayouts();

// Bytes of the record part of a queued row: the record's size rounded up to
// 8; the message's SeqNum (u8) and MsgTime (u4, padded to 8) follow.
constexpr size_t RowRecordBytes(size_t record_size) {
  return (record_size + 7) & ~size_t{7};
}
constexpr size_t RowBytes(size_t record_size) {
  return RowRecordBytes(record_size) + 16;
}

}  // namespace py
}  // namespace zavo
