// An exception caught by module code, held the way an `except` block holds it.
#pragma once

#include "boundary/ref.hpp"

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

}  // namespace boundary
