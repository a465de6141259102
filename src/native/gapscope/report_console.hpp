// Writing report lines: the `print` bound at import and the operations of
// `display`, looked up in the module namespace at each use.
#pragma once

#include "gapscope/gapscope.hpp"

namespace gapscope::console {

// print(text) with the bound built-in; print() when `text` is nullptr.
void print_line(PyObject* text);

// getattr(display, name), with `display` looked up at each use.
boundary::Ref display_op(boundary::Name& name);

// A str from the model as a terminal may safely show it: its control
// characters (C0 but tab and line feed, DEL, C1) and lone surrogates become
// the backslash escapes repr() writes; anything else is kept.  The same
// object when nothing needs escaping.
boundary::Ref terminal_safe(PyObject* text);

}  // namespace gapscope::console
