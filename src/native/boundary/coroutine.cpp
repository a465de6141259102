// Coroutine objects of our coroutine functions and the iterator of their
// __await__.  The type slots own the objects' fields as raw references, and
// throw() passes raw references through the error indicator, as the
// interpreter's own coroutines do.  Every slot, method and getter reaches the
// interpreter through guarded<>; traverse, clear and dealloc touch only
// reference counts.  Only the traverse functions are noexcept: a cleared
// field's finalizer may run Python code, and the interpreter may end the
// thread there (ref.hpp).
#include "boundary/coroutine.hpp"

#include "boundary/compat.hpp"
#include "boundary/guard.hpp"
#include "boundary/module.hpp"

#include <cstddef>

namespace boundary {
namespace {

enum class State { Created, Running, Finished };

struct CoroutineObject {
    PyObject_HEAD
    PyObject* function;
    PyObject* values[max_params];
    std::size_t count;
    State state;
    PyObject* weakrefs;
};

struct WrapperObject {
    PyObject_HEAD
    PyObject* coroutine;
};

CoroutineObject* as_coroutine(PyObject* obj) { return reinterpret_cast<CoroutineObject*>(obj); }

void drop_arguments(CoroutineObject* c) {
    for (std::size_t i = 0; i < c->count; ++i) Py_CLEAR(c->values[i]);
    c->count = 0;
}

// A StopIteration escaping the body becomes RuntimeError, as for any coroutine.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref stop = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    Ref runtime = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(runtime.get(), Py_NewRef(stop.get()));    // steals the new reference
    PyException_SetContext(runtime.get(), stop.release());         // steals
    PyErr_SetRaisedException(runtime.release());                    // steals
}

// The checks every step makes, in the interpreter's order.  `arg` is NULL for
// __next__, None or a value for send(); `closing` silences the finished state.
bool may_step(CoroutineObject* c, PyObject* arg, bool closing) {
    if (c->state == State::Created && arg && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return false;
    }
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (c->state == State::Finished) {
        if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    return true;
}

// Runs the body once; returns its result (a new reference) or NULL with an
// error set.  The coroutine is finished afterwards either way.
PyObject* run(CoroutineObject* c) {
    c->state = State::Running;
    ArgStorage values;
    for (std::size_t i = 0; i < c->count; ++i) values.push(Ref::steal_maybe(std::exchange(c->values[i], nullptr)));
    c->count = 0;
    Py_INCREF(c);  // the body may drop the last other reference
    PyObject* result = detail::run_body(c->function, values.args());
    c->state = State::Finished;
    if (!result) replace_stop_iteration();
    Py_DECREF(c);
    return result;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** presult) {
    *presult = nullptr;
    CoroutineObject* c = as_coroutine(self);
    if (!may_step(c, arg, false)) return PYGEN_ERROR;
    *presult = run(c);
    return *presult ? PYGEN_RETURN : PYGEN_ERROR;
}

// send(), and __next__ of the __await__ iterator (arg NULL): the result leaves
// through StopIteration; __next__ ends silently for None, as generators do.
PyObject* step(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    if (coroutine_am_send(self, arg, &result) == PYGEN_ERROR) return nullptr;
    if (result == Py_None) {
        Py_DECREF(result);
        if (arg) PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    set_stop_iteration_value(result);
    Py_DECREF(result);
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) { return step(self, arg); }

// The exception to throw, normalised as the interpreter's throw() does.
bool set_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(type)) {
        PyErr_NormalizeException(&type, &value, &tb);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return false;
        }
        Py_XSETREF(value, type);
        type = Py_NewRef(PyExceptionInstance_Class(type));
        if (!tb) tb = PyException_GetTraceback(value);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    PyErr_Restore(type, value, tb);
    return true;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd", nargs < 1 ? "at least" : "at most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    CoroutineObject* c = as_coroutine(self);
    if (!set_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    // A step that cannot run replaces the thrown exception with its own error.
    Ref thrown = Ref::steal(PyErr_GetRaisedException());
    if (!may_step(c, Py_None, false)) return nullptr;
    // Raised before the body starts, so outside the region where a
    // StopIteration would be replaced: the coroutine ends with it as it is.
    // The traceback entry names the declared function, as a failing body's
    // does: __qualname__ may have been set to any str, even one that has no
    // UTF-8 form.
    PyErr_SetRaisedException(thrown.release());
    c->state = State::Finished;
    drop_arguments(c);
    add_traceback(detail::function_spec_qualname(c->function), detail::function_file(c->function));
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    c->state = State::Finished;
    drop_arguments(c);
    Py_RETURN_NONE;
}

PyTypeObject wrapper_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* coroutine_await(PyObject* self) {
    WrapperObject* w = PyObject_GC_New(WrapperObject, &wrapper_type);
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::Created) return;
    Ref saved = Ref::steal_maybe(PyErr_GetRaisedException());
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                         detail::function_qualname(c->function)) < 0) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved.release());
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(c->function);
    for (std::size_t i = 0; i < c->count; ++i) Py_VISIT(c->values[i]);
    return 0;
}

int coroutine_clear(PyObject* self) {
    drop_arguments(as_coroutine(self));
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    drop_arguments(c);
    Py_CLEAR(c->function);
    Py_TYPE(self)->tp_free(self);
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", detail::function_qualname(as_coroutine(self)->function),
                                self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(detail::function_name(as_coroutine(self)->function)); }
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(detail::function_qualname(as_coroutine(self)->function));
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->state == State::Running); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_false(PyObject*, void*) { Py_RETURN_FALSE; }

PyGetSetDef coroutine_getset[] = {
    {"__name__", guarded<get_name>, nullptr, nullptr, nullptr},
    {"__qualname__", guarded<get_qualname>, nullptr, nullptr, nullptr},
    {"cr_running", guarded<get_running>, nullptr, nullptr, nullptr},
    {"cr_suspended", guarded<get_false>, nullptr, nullptr, nullptr},
    {"cr_await", guarded<get_none>, nullptr, nullptr, nullptr},
    {"cr_frame", guarded<get_none>, nullptr, nullptr, nullptr},
    {"cr_code", guarded<get_none>, nullptr, nullptr, nullptr},
    {"cr_origin", guarded<get_none>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* coroutine_await_method(PyObject* self, PyObject*) { return coroutine_await(self); }

PyMethodDef coroutine_methods[] = {
    {"send", guarded<coroutine_send>, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<coroutine_throw>)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", guarded<coroutine_close>, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__await__", guarded<coroutine_await_method>, METH_NOARGS, "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_async = {guarded<coroutine_await>, nullptr, nullptr, guarded<coroutine_am_send>};

PyTypeObject coroutine_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "brevanta.coroutine";
    t.tp_basicsize = sizeof(CoroutineObject);
    t.tp_dealloc = coroutine_dealloc;
    t.tp_as_async = &coroutine_async;
    t.tp_repr = guarded<coroutine_repr>;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = coroutine_traverse;
    t.tp_clear = coroutine_clear;
    t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    t.tp_methods = coroutine_methods;
    t.tp_getset = coroutine_getset;
    t.tp_finalize = guarded<coroutine_finalize>;
    return t;
}();

// ------------------------------------------------ the __await__ iterator

PyObject* wrapper_coroutine(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coroutine; }
PyObject* wrapper_next(PyObject* self) { return step(wrapper_coroutine(self), nullptr); }
PyObject* wrapper_send(PyObject* self, PyObject* arg) { return coroutine_send(wrapper_coroutine(self), arg); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(wrapper_coroutine(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject* arg) { return coroutine_close(wrapper_coroutine(self), arg); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(wrapper_coroutine(self));
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coroutine);
    PyObject_GC_Del(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", guarded<wrapper_send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<wrapper_throw>)), METH_FASTCALL, nullptr},
    {"close", guarded<wrapper_close>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void ready_types() {
    if (coroutine_type.tp_flags & Py_TPFLAGS_READY) return;
    wrapper_type.tp_name = "brevanta.coroutine_wrapper";
    wrapper_type.tp_basicsize = sizeof(WrapperObject);
    wrapper_type.tp_dealloc = wrapper_dealloc;
    wrapper_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    wrapper_type.tp_traverse = wrapper_traverse;
    wrapper_type.tp_iter = PyObject_SelfIter;
    wrapper_type.tp_iternext = guarded<wrapper_next>;
    wrapper_type.tp_methods = wrapper_methods;
    check(PyType_Ready(&wrapper_type));
    check(PyType_Ready(&coroutine_type));
}

}  // namespace

PyObject* make_coroutine(PyObject* function, const Args& args) {
    ready_types();
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, &coroutine_type);
    if (!c) throw_error();
    c->function = Py_NewRef(function);
    c->count = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) c->values[i] = args[i].release();
    c->state = State::Created;
    c->weakrefs = nullptr;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace boundary
