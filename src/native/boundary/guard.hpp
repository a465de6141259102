// The guard of every C entry point: whatever the interpreter calls directly
// (a type slot, a getter or setter, a method, a module slot, a callback such
// as a sort key) runs its C++ body through guarded<>, so no C++ exception
// ever unwinds through the interpreter's frames.  The one unwinding that does
// is a thread being ended (ThreadExit, see ref.hpp): it started in the
// interpreter's frames and goes on through ours, so no guard is noexcept.
#pragma once

#include "boundary/ref.hpp"

#include <type_traits>

namespace boundary {

// Sets the Python error that the C++ exception being handled stands for:
// PythonError keeps the error already set, std::bad_alloc is MemoryError and
// anything else SystemError; a ThreadExit goes on.  Call it only inside a
// catch block.
CATCHES_THREAD_EXIT void set_error_for_current_exception();

namespace detail {

// What an entry point returns to report an error that is set.
template <class Result>
inline Result failure_value() {
    if constexpr (std::is_void_v<Result>) {
        // Nobody to report to (a finalizer): the error goes to sys.unraisablehook.
        PyErr_WriteUnraisable(nullptr);
    } else if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_same_v<Result, PySendResult>) {
        return PYGEN_ERROR;
    } else {
        return Result(-1);
    }
}

template <auto Body>
struct Guard;

template <class Result, class... Params, Result (*Body)(Params...)>
struct Guard<Body> {
    CATCHES_THREAD_EXIT static Result call(Params... params) {
        try {
            return Body(params...);
        } catch (const ThreadExit&) {
            throw;
        } catch (...) {
            set_error_for_current_exception();
            return failure_value<Result>();
        }
    }
};

}  // namespace detail

// The C function to hand to the interpreter for `Body`, a function that may
// throw: the same signature, with every C++ exception turned into the Python
// error it stands for and the usual failure value.
template <auto Body>
inline constexpr auto guarded = &detail::Guard<Body>::call;

}  // namespace boundary
