// Coroutine objects for declared coroutine functions.
//
// The body has no suspension point: the first step runs it to completion.
// Everything else follows the interpreter's native coroutines: send, throw,
// close, __await__, the running and finished states with their errors, the
// result delivered through StopIteration, and the never-awaited warning.
#pragma once

#include "boundary/function.hpp"

namespace boundary {

// A new coroutine that will run `function`'s body with `args` (moved in).
// Throws PythonError on failure.
PyObject* make_coroutine(PyObject* function, const Args& args);

}  // namespace boundary
