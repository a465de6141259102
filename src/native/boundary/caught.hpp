// An exception caught by module code, held the way an `except` block holds it.
#pragma once

#include "boundary/ref.hpp"

#include <new>

namespace boundary {

// Takes the raised exception off the error indicator and makes it the one
// being handled (sys.exception()) until the scope ends, so an error raised
// while handling it gets it as its __context__, as in an except block.
class Caught {
public:
    Caught();
    ~Caught();
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    PyObject* error() const noexcept { return error_.get(); }

    // `except <type>:`: the type is checked as the interpreter checks it
    // (TypeError for something that is not an exception class).
    bool matches(PyObject* type) const;
    // The error was not handled here: raise it again.
    [[noreturn]] void reraise() const;

private:
    Ref error_;
    Ref outer_;  // what was being handled before
};

// try: return step()
// except Exception: return on_exception(caught)
// Errors outside that family (KeyboardInterrupt, SystemExit) propagate; a
// failed C++ allocation is the MemoryError it stands for.
template <class Step, class OnException>
Ref unless_exception(Step step, OnException on_exception) {
    try {
        return step();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    const Caught caught;
    if (!caught.matches(PyExc_Exception)) caught.reraise();
    return on_exception(caught);
}

// step(), or an empty Ref when it raised an error of the Exception family.
template <class Step>
Ref unless_exception(Step step) {
    return unless_exception(step, [](const Caught&) { return Ref(); });
}

}  // namespace boundary
