#pragma once
// Command-line options of zavo_record.
#include <string>

#include "feed_recorder.h"

namespace zavo {
namespace record {

struct RecordOptions {
  // Without --group: the simulator's struct and raw feeds at their default
  // addresses.
  RecorderConfig recorder;
  double duration_s = 0;  // 0: until SIGINT/SIGTERM
  bool status = true;
  bool help = false;
};

// Parses argv into *out (starting from the defaults). False with a one-line
// reason naming the option in *error; the program exits with status 2.
bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* out, std::string* error);
// The --help text.
std::string RecordUsage(const char* program);

}  // namespace record
}  // namespace zavo
