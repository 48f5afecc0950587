#pragma once
// Offline decode through libzavo_capture (zavo_capture.h): the library's
// own decoders (decode, convert, delivery flags, subscription filter,
// reassembly in raw mode) call the data handler with what a live session
// would deliver, on the calling thread. LocalDelay is measured against each datagram's capture
// time, so a file decodes to the same records every time.
#include <cstdint>
#include <string>

#include "options.h"
#include "zavo_api.h"

namespace zavo_tail {

struct PcapResult {
  uint64_t packets = 0;    // packets read from the file
  uint64_t datagrams = 0;  // datagrams handed to the decoder
  uint64_t passed = 0;     // datagrams of other groups or not of this mode
  bool complete = true;    // false: the file ended in damage (see error)
  std::string error;       // why the file could not be read (further)
};

// Decodes `file` with the markets, codes and flags of `opt` and calls
// `handler` for every record. With `filter_group`, only datagrams sent to
// opt.group are taken (all of them, as a live session would); without,
// every datagram that starts with the mode's sync value. Returns false when
// the file cannot be opened or the settings are refused (*result says why);
// a file damaged part-way returns true with complete == false, after
// everything before the damage was delivered.
bool DecodePcap(const std::string& file, const Options& opt, bool filter_group,
                ZAVO_DataHandler handler, PcapResult* result);

}  // namespace zavo_tail
