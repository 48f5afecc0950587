#pragma once
// zavo_tail's book modes, over libzavo_book:
//   --book CODE[.SH|.SZ]  a ladder of ten levels a side of one stock, redrawn
//                         in place on a terminal when it changes (a JSON line
//                         per change with --format json);
//   --book-check          "book/snapshot agreement: N of M snapshots" over all
//                         codes once a second and at exit, with the codes that
//                         disagreed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "options.h"
#include "zavo_api.h"
#include "zavo_book.h"

namespace zavo_tail {

class BookView {
 public:
  // True when the options ask for a ladder or the check.
  static bool Wanted(const Options& opt);
  // A view for the book options of `opt`; the ladder is written to `out`.
  // Null only when memory runs out.
  static BookView* Create(const Options& opt, FILE* out);
  ~BookView();
  BookView(const BookView&) = delete;
  BookView& operator=(const BookView&) = delete;

  // Data handler side: every message of the session.
  void OnMessage(const ZAVO_MSG* msg);
  // Main thread, often: redraws the ladder when it changed, prints the
  // check line once a second.
  void Tick();
  // True when the view owns standard output (the ladder): record lines
  // are then not printed.
  bool owns_stdout() const { return ladder_; }
  // At exit: the final check line and, per code that disagreed, its first
  // differing level.
  void Finish();

 private:
  BookView() = default;
  void draw_ladder();
  void print_check(bool final_line);

  std::mutex mu_;
  zavo_book* book_ = nullptr;
  FILE* out_ = stdout;
  std::string code_;
  char exchange_ = 0;
  bool ladder_ = false;
  bool check_ = false;
  bool json_ = false;
  bool tty_ = false;
  uint64_t changes_ = 0, drawn_ = 0;
  std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
};

}  // namespace zavo_tail
