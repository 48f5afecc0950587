#pragma once
// zavo._native.BookCore: the compiled half of zavo.Book.
#include <pybind11/pybind11.h>

#include <memory>

#include "native_session.h"

namespace zavo {
namespace py {

void bind_book(pybind11::module_& m);
// A book fed by `session` from now on; None when no memory is left for it.
// `filtered`: see NativeBook.
pybind11::object attach_book(const std::shared_ptr<NativeSession>& session, unsigned flags,
                             bool filtered);

}  // namespace py
}  // namespace zavo
