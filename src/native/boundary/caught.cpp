#include "boundary/caught.hpp"

namespace boundary {

Caught::Caught()
    : error_(Ref::steal(PyErr_GetRaisedException())),
      // The handled exception of this frame itself, not one of an enclosing
      // generator: that is what leaving the block restores.
      outer_(Ref::borrow_maybe(PyThreadState_Get()->exc_info->exc_value)) {
    PyErr_SetHandledException(error_.get());
}

// On a thread being ended there is nothing to restore.  What the restore
// replaces is normally error_, still held, but dropping anything else may run
// a finalizer, and a destructor cannot let the thread's ending pass (ref.hpp).
CATCHES_THREAD_EXIT Caught::~Caught() {
    if (!holds_thread_state()) return;
    try {
        PyErr_SetHandledException(outer_.get());
    } catch (const ThreadExit&) {
        park_ending_thread();
    }
}

namespace {

bool is_exception_class(PyObject* type) { return PyExceptionClass_Check(type); }

bool is_catchable(PyObject* type) {
    if (!PyTuple_Check(type)) return is_exception_class(type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type); ++i)
        if (!is_exception_class(PyTuple_GET_ITEM(type, i))) return false;
    return true;
}

}  // namespace

bool Caught::matches(PyObject* type) const {
    if (!is_catchable(type))
        raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return PyErr_GivenExceptionMatches(error_.get(), type) != 0;
}

void Caught::reraise() const {
    PyErr_SetRaisedException(Py_NewRef(error_.get()));
    throw_error();
}

}  // namespace boundary
