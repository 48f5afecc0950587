#pragma once
// zavo._native.CaptureCore: the compiled half of zavo.Capture. A capture
// file decoded by libzavo_capture on the calling thread, with the
// interpreter lock released while it decodes; records go into a RowBatch
// (and into the attached books) straight from the decoder's handler.
#include <pybind11/pybind11.h>

namespace zavo {
namespace py {

void bind_capture(pybind11::module_& m);

}  // namespace py
}  // namespace zavo
