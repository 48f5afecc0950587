#pragma once
// One line of text per message, in the client's three output formats.
#include <cstddef>
#include <string>

#include "options.h"
#include "zavo_api.h"

namespace zavo_tail {

// Formats a market-data or raw message (kinds 100..106, 200) into `out`.
// Returns false for kinds it does not know. With kCsvHeader the line is the
// record's CSV column names (the first is "kind").
bool FormatRecord(const ZAVO_MSG& msg, OutputFormat format, std::string* out);

// Formats a system message (kinds 1..5), the feed-health counters (kind 7)
// or a lost range (kind 110, which arrives among the records) into `out`.
bool FormatSystem(const ZAVO_MSG& msg, OutputFormat format, std::string* out);

// "600000.SH" style name of a code and its exchange character.
std::string MarketCode(const char* code, char exchange);

}  // namespace zavo_tail
