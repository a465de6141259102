// Writing report lines: the `print` bound at import and the operations of
// `display`, looked up in the module namespace at each use.
#pragma once

#include "gapscope/gapscope.hpp"

namespace gapscope::console {

// print(text) with the bound built-in; print() when `text` is nullptr.
void print_line(PyObject* text);

// getattr(display, name), with `display` looked up at each use.
boundary::Ref display_op(boundary::Name& name);

}  // namespace gapscope::console
