#pragma once
// zavo._native.BookCore: the compiled half of zavo.Book.
#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

#include "native_session.h"

namespace zavo {
namespace py {

// Stops whatever feeds a book from feeding it.
using BookDetach = std::function<void(const NativeBook*)>;

void bind_book(pybind11::module_& m);
// A book fed by `session` from now on; None when no memory is left for it.
// `filtered`: see NativeBook.
pybind11::object attach_book(const std::shared_ptr<NativeSession>& session, unsigned flags,
                             bool filtered);
// A zavo._native.BookCore around `book`, fed by someone else (a capture),
// who stops at `detach`.
pybind11::object wrap_book(std::shared_ptr<NativeBook> book, BookDetach detach);

}  // namespace py
}  // namespace zavo
