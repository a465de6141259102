// Owning references and the "a Python error is set" exception.
//
// Module code holds every object in a Ref and reports every failure by
// throwing PythonError with the interpreter's error indicator set; every C
// entry point turns that (and any other C++ exception) back into a failure
// return through guarded<> (guard.hpp).  Reference counts are touched directly only where the
// interpreter hands over or expects raw references (type slots, the error
// indicator, C functions it calls) or an object is kept for the process;
// each such place says why.
//
// A thread the interpreter ends.  Once the interpreter is finalising, a
// daemon thread that asks for the GIL again (after a blocking call, or when
// it lets another thread run) is ended with pthread_exit, which unwinds its
// stack as a forced unwind (ThreadExit) while the thread holds neither the
// GIL nor a thread state.  Every frame of ours on such a stack lets it pass:
// each catch-all rethrows ThreadExit first, no function that can run Python
// code is noexcept, and what the unwinding runs touches no Python object (the
// references the frames held are left, as the interpreter's own frames leave
// theirs).  A destructor is the one frame that cannot let it pass, so where a
// destructor may run Python code (releasing the last reference runs the
// object's finalizer) the thread is parked instead, until the process ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace boundary {

// Thrown when the interpreter's error indicator is set.
struct PythonError {};

// The unwinding of a thread that pthread_exit ends: rethrown by every catch-all.
using ThreadExit = abi::__forced_unwind;

// Marks each function with a handler for ThreadExit: the handler's reference is bound to no object (a
// thread's end carries no C++ exception object), which the undefined-behaviour sanitizer would report.
// Not inlined, as a caller's code would be checked by the caller's rules.
#define CATCHES_THREAD_EXIT __attribute__((no_sanitize("null"), noinline))

// Whether this thread holds a thread state (and so the GIL): false on a
// thread that the interpreter is ending.
bool holds_thread_state() noexcept;

// Set by an atexit callback (registered when a module executes), so before
// the interpreter ends any thread; read first, as asking for the thread state
// on every release would cost more than the release.
extern std::atomic<bool> interpreter_exiting;

// For a frame that cannot let a ThreadExit pass (a destructor): the thread
// waits, signals blocked, until the process ends.
[[noreturn]] void park_ending_thread() noexcept;

// Drops the last reference: the object's finalizer may run Python code, during
// which the interpreter may end the thread.
CATCHES_THREAD_EXIT void drop_last_reference(PyObject* obj) noexcept;

// Py_XDECREF for owners that may be destroyed while the thread is being
// ended: then nothing is touched, as no GIL is held.
inline void drop_reference(PyObject* obj) noexcept {
    if (!obj) return;
    if (interpreter_exiting.load(std::memory_order_relaxed) && !holds_thread_state()) [[unlikely]] return;
    if (Py_REFCNT(obj) > 1) {
        Py_DECREF(obj);  // not the last: nothing runs
        return;
    }
    drop_last_reference(obj);
}

[[noreturn]] inline void throw_error() { throw PythonError{}; }

// Raises `type` with a message and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
// printf-style message in PyUnicode_FromFormat's notation.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Throws when a C-API call signalled failure by returning NULL / -1.
inline PyObject* check(PyObject* result) {
    if (!result) throw_error();
    return result;
}
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { drop_reference(ptr_); }

    // A new reference returned by the C API; NULL means an error is set.
    static Ref steal(PyObject* ptr) { return Ref(check(ptr)); }
    // A borrowed reference; NULL means an error is set.
    static Ref borrow(PyObject* ptr) { return Ref(Py_NewRef(check(ptr))); }
    // For results where NULL is not an error (e.g. dict lookups).
    static Ref steal_maybe(PyObject* ptr) noexcept { return Ref(ptr); }
    static Ref borrow_maybe(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

    Ref attr(PyObject* name) const { return steal(PyObject_GetAttr(ptr_, name)); }
    Ref attr(const char* name) const { return steal(PyObject_GetAttrString(ptr_, name)); }
    void set_attr(PyObject* name, PyObject* value) const { check(PyObject_SetAttr(ptr_, name, value)); }

    // Positional call: obj(a, b, ...).
    template <class... Args>
    Ref operator()(const Args&... args) const {
        PyObject* argv[] = {nullptr, as_ptr(args)...};
        return steal(PyObject_Vectorcall(ptr_, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    static PyObject* as_ptr(const Ref& ref) noexcept { return ref.get(); }
    static PyObject* as_ptr(PyObject* ptr) noexcept { return ptr; }

    PyObject* ptr_ = nullptr;
};

// A str interned once and kept for the life of the process (one interpreter
// per process), for attribute and keyword names used on hot paths.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    PyObject* get() {
        if (!obj_) {
            obj_ = check(PyUnicode_InternFromString(text_));
        }
        return obj_;
    }
    operator PyObject*() { return get(); }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

// A str constant created on first use and kept for the life of the process.
// Use it (or Name) for constants: a static Ref would be released after the
// interpreter has finalised.
class Text {
public:
    constexpr explicit Text(const char* utf8) noexcept : utf8_(utf8) {}
    PyObject* get() {
        if (!obj_) obj_ = check(PyUnicode_FromString(utf8_));
        return obj_;
    }
    operator PyObject*() { return get(); }

private:
    const char* utf8_;
    PyObject* obj_ = nullptr;
};

// One keyword argument of a call.
struct Keyword {
    PyObject* name;   // a str, normally a Name
    PyObject* value;
};

// obj(positional..., name=value, ...), keywords in the given order.
Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
         std::initializer_list<Keyword> keywords = {});
// obj.name(positional...) through the method-call fast path.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> positional = {});

// Small conversions used everywhere.
Ref str(std::string_view utf8);
Ref integer(long long value);
Ref floating(double value);
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
bool truthy(PyObject* obj);
// str(obj), reusing exact str objects.
Ref to_str(PyObject* obj);
// format(obj, ""), as an f-string field shows a value; exact strs are reused.
Ref format(PyObject* obj);
// a == b as a truth value (PyObject_RichCompareBool), with the comparison of
// exact strs and exact dicts done in place, as the interpreter does it.
bool equal(PyObject* a, PyObject* b);
// The truth of `a <op> b` as the expression gives it (op is Py_EQ, Py_NE,
// Py_GT, ...): no identity shortcut, so NaN != NaN holds.
bool compare(PyObject* a, PyObject* b, int op);
// `value or []` for a list-or-None argument: a non-empty list itself (stored
// by reference), else a new empty list.
Ref own_list(const Ref& value);
// item in container, with an exact list searched in place, as the interpreter does it.
bool contains(PyObject* container, PyObject* item);
// dict.get(key, fallback) that honours overridden `get` on dict subclasses and
// works on any object with a `get` method, as the equivalent Python would.
Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback);

}  // namespace boundary
