// What differs between the supported Pythons, in one place.  Setting a
// StopIteration value and adding a traceback entry once used helpers that 3.13
// moved into its internal headers; they are written here with calls that
// every supported version exports.  Those are not all of the limited public
// API: _PyErr_ChainExceptions1 and the thread state's c_recursion_remaining
// are CPython-specific, and the pathlib names below are private methods of
// the standard library, so each new Python version must be checked against
// this file.  The one other difference, the name of the function that gives
// this thread's state or NULL (renamed in 3.13), ref.cpp settles at run time.
#pragma once

#include "boundary/ref.hpp"

#include <frameobject.h>

#include <cerrno>

namespace boundary {

// Sets StopIteration carrying `value` as a return value. A tuple or an
// exception would be taken as the exception's arguments or as the exception
// itself, so those are wrapped in an instance first.
inline void set_stop_iteration_value(PyObject* value) {
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
        return;
    }
    Ref stop = Ref::steal_maybe(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// Adds a traceback entry "function" in "file" at `line` to the exception
// being raised. The exception is set aside while the frame is built, since
// decoding the file name may run Python code; if building fails, the new
// error is chained to it.
inline void add_traceback_entry(const char* function, const char* file, int line) {
    Ref raised = Ref::steal_maybe(PyErr_GetRaisedException());
    Ref globals = Ref::steal_maybe(PyDict_New());
    Ref code = Ref::steal_maybe(globals ? reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)) : nullptr);
    Ref frame = Ref::steal_maybe(
        code ? reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                                       globals.get(), nullptr))
             : nullptr);
    if (!frame) {
        _PyErr_ChainExceptions1(raised.release());  // takes the reference
        return;
    }
    PyErr_SetRaisedException(raised.release());  // takes the reference
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// pathlib.PosixPath as the session listing reproduces it: the private method
// that iterdir() forms each child path with (its replacement disables the
// listing's own directory scan), and which errors of stat() is_file() takes
// to mean "not a file" rather than raising.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr const char* pathlib_child_path_method = "_from_parsed_string";
inline bool is_file_hides_stat_error(int) { return true; }  // os.path.isfile()
#else
inline constexpr const char* pathlib_child_path_method = "_make_child_relpath";
inline bool is_file_hides_stat_error(int error) {
    return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}
#endif

// json.dumps with an indent: before 3.13 it runs the pure-Python encoder,
// which the session writer reproduces exactly; from 3.13 on it runs the C
// encoder, whose treatment of subclasses and of nesting depth differs, so
// there the writer takes only documents of exact built-in types, well within
// the encoder's limits, and leaves the others to it.
inline constexpr bool indented_json_is_pure_python = PY_VERSION_HEX < 0x030D0000;

// Nested C calls the thread may still make before RecursionError (the C
// encoder takes one per open container).
inline int c_recursion_remaining() { return PyThreadState_Get()->c_recursion_remaining; }

}  // namespace boundary
