#pragma once
// Command-line options of zavo_record.
#include <netinet/in.h>

#include <string>

#include "feed_recorder.h"

namespace zavo {
namespace record {

struct RecordOptions {
  RecorderConfig recorder;
  double duration_s = 0;  // 0: until SIGINT/SIGTERM
  bool status = true;
  bool help = false;
};

// "IP:PORT" into an IPv4 address; false when it is not one.
bool ParseEndpoint(const std::string& text, sockaddr_in* out);

// False with a one-line reason in *error.
bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* out, std::string* error);
std::string RecordUsage(const char* program);

}  // namespace record
}  // namespace zavo
