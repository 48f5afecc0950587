#pragma once
// What the record/replay tests compare: every record a handler was given,
// with a copy of its bytes, collected per ConnectID from any thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zavo_api.h"

namespace zavo {
namespace test {

struct Rec {
  uint32_t type = 0;
  uint32_t time = 0;
  uint64_t seq = 0;
  std::string bytes;
  bool operator==(const Rec& o) const {
    return type == o.type && time == o.time && seq == o.seq && bytes == o.bytes;
  }
};

class Collector {
 public:
  void Add(const ZAVO_MSG* msg);
  std::vector<Rec> Take() const;
  size_t Size() const;
  void Clear();
  bool WaitForSize(size_t n, int timeout_ms) const;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Rec> recs_;
};

// Data handlers route by ConnectID (0..7) into these.
Collector& DataOf(int connect_id);
Collector& RebuildOf(int connect_id);
void OnData(void*, const ZAVO_MSG* msg);
void OnRebuild(void*, const ZAVO_MSG* msg);
void OnSystem(void*, const ZAVO_MSG* msg);

// A struct-mode session's settings for a server on 127.0.0.1; every kind
// of record delivered.
ZAVO_OpenSetting StructSetting(int connect_id, const std::string& group, int port, int server_port);

// A fresh directory under /tmp, removed with its files by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// `count` struct datagrams of `fields` synthetic market-data fields each,
// numbered from 1, as the simulator's market model makes them.
std::vector<std::string> market_datagrams(int count, int fields);

// Where the first difference lies, for failure messages; "" when equal.
std::string FirstDifference(const std::vector<Rec>& want, const std::vector<Rec>& got);

}  // namespace test
}  // namespace zavo
