// Where feedtap's own messages go. Progress lines share standard output with
// nothing but themselves when the CSV goes to a file; when the CSV goes to
// standard output they move to standard error, so that the CSV can be piped.
// Errors always go to standard error.
#pragma once

#include <cstdio>

namespace feedtap {

// The stream for progress messages; standard output until the tool moves it.
inline FILE*& MessageStream() {
  static FILE* stream = stdout;
  return stream;
}

}  // namespace feedtap
