#pragma once
// The interpreter lock released around a blocking wait of the native side.
//
// Taking the lock back can end the calling thread: while the interpreter
// finalizes, a daemon thread that asks for it is ended with pthread_exit,
// which unwinds its stack. pybind11's gil_scoped_release takes the lock back
// in a noexcept destructor, where that unwinding stops in std::terminate and
// aborts the whole process at exit. This destructor lets it pass, so the
// thread ends quietly as a pure-Python daemon thread would.
#include <Python.h>

namespace zavo {
namespace py {

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false) { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace py
}  // namespace zavo
