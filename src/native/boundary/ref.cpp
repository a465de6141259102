#include "boundary/ref.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

namespace boundary {

std::atomic<bool> interpreter_exiting{false};

namespace {

using CurrentThreadState = PyThreadState* (*)();

// The running interpreter's "this thread's state, or NULL": PyThreadState_GetUnchecked
// from 3.13 on, _PyThreadState_UncheckedGet before.  Found by name, so that a module
// built for one version still loads into the other (and warns that it does).
CurrentThreadState current_thread_state() noexcept {
    static std::atomic<CurrentThreadState> found{nullptr};
    CurrentThreadState current = found.load(std::memory_order_relaxed);
    if (!current) {
        void* symbol = dlsym(RTLD_DEFAULT, "PyThreadState_GetUnchecked");
        if (!symbol) symbol = dlsym(RTLD_DEFAULT, "_PyThreadState_UncheckedGet");
        current = reinterpret_cast<CurrentThreadState>(symbol);
        found.store(current, std::memory_order_relaxed);
    }
    return current;
}

}  // namespace

bool holds_thread_state() noexcept {
    const CurrentThreadState current = current_thread_state();
    return !current || current() != nullptr;  // neither found (no supported version): taken as held
}

void park_ending_thread() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // the other threads take the signals
    for (;;) pause();
}

CATCHES_THREAD_EXIT void drop_last_reference(PyObject* obj) noexcept {
    try {
        Py_DECREF(obj);
    } catch (const ThreadExit&) {
        park_ending_thread();  // inside a destructor: the unwinding cannot go on
    }
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_error();
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> positional, std::initializer_list<Keyword> keywords) {
    constexpr std::size_t max_args = 16;
    const std::size_t npos = positional.size();
    const std::size_t nkw = keywords.size();
    if (npos + nkw > max_args) raise(PyExc_SystemError, "too many arguments for boundary::call");
    PyObject* argv[max_args + 1];
    std::size_t i = 1;
    for (PyObject* arg : positional) argv[i++] = arg;
    Ref kwnames;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
        Py_ssize_t k = 0;
        for (const Keyword& kw : keywords) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name));
            argv[i++] = kw.value;
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> positional) {
    constexpr std::size_t max_args = 8;
    if (positional.size() > max_args) raise(PyExc_SystemError, "too many arguments for boundary::call_method");
    PyObject* argv[max_args + 1];
    argv[0] = obj;
    std::size_t i = 1;
    for (PyObject* arg : positional) argv[i++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, argv, i | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref str(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref integer(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

Ref floating(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

Ref format(PyObject* obj) {
    static Text empty_spec("");
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyObject_Format(obj, empty_spec));
}

bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

Ref to_str(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyObject_Str(obj));
}

namespace {

bool equal_strs(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The interpreter's dict equality: same size, then every key of `a` found in
// `b` with an equal value, in the order of `a`.
bool equal_dicts(PyObject* a, PyObject* b) {
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(a, &position, &key, &value)) {
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);  // a comparison may change `a`
        PyObject* other = PyDict_GetItemWithError(b, key);
        if (!other) {
            if (PyErr_Occurred()) throw_error();
            return false;
        }
        Ref held_other = Ref::borrow(other);
        if (!equal(value, other)) return false;
    }
    return true;
}

}  // namespace

bool compare(PyObject* a, PyObject* b, int op) { return truthy(Ref::steal(PyObject_RichCompare(a, b, op)).get()); }

Ref own_list(const Ref& value) {
    if (!value.is_none() && PyList_GET_SIZE(value.get()) > 0) return value;
    return Ref::steal(PyList_New(0));
}

bool equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return equal_strs(a, b);
    if (PyDict_CheckExact(a) && PyDict_CheckExact(b)) return equal_dicts(a, b);
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

bool contains(PyObject* container, PyObject* item) {
    if (!PyList_CheckExact(container)) return check(PySequence_Contains(container, item)) == 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(container, i));
        if (equal(element.get(), item)) return true;
    }
    return false;
}

Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) throw_error();
        return Ref::borrow(fallback ? fallback : Py_None);
    }
    static Name get_name("get");
    if (fallback) return call_method(mapping, get_name, {key, fallback});
    return call_method(mapping, get_name, {key});
}

}  // namespace boundary
