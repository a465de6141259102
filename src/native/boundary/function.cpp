// The function type shared by every function of both modules: the call,
// descriptor binding, the plain attributes, pickling by reference and the
// creation of a function object from its declaration.
#include "boundary/function_object.hpp"

#include "boundary/coroutine.hpp"
#include "boundary/guard.hpp"

#include <algorithm>
#include <string>

namespace boundary {
namespace detail {
namespace {

// --------------------------------------------------------------- the call

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    ArgStorage values;
    const VectorKeywords keywords{kwnames, args + PyVectorcall_NARGS(nargsf)};
    if (!bind_and_convert(f, nullptr, args, PyVectorcall_NARGS(nargsf), keywords, values)) return nullptr;
    Args bound = values.args();
    if (f->spec->coroutine) return make_coroutine(self, bound);
    return detail::run_body(self, bound);
}

// ------------------------------------------------------------ the type
//
// The slots below own the object's fields as raw references: the interpreter
// calls them with the object's memory and expects new references back.  The
// type's tables hand each one over through guarded<>; traverse, clear and
// dealloc touch only reference counts.  Only traverse is noexcept: clearing a
// field may run a finalizer, and the interpreter may end the thread there.

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    for (std::size_t i = 0; i < f->n_params; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (std::size_t i = 0; i < f->n_params; ++i) {
        Py_CLEAR(f->param_names[i]);
        Py_CLEAR(f->defaults[i]);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->is_coroutine);
    delete f->error_name;
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_text(PyObject*& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_text(as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_SETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module_name); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_SETREF(as_function(self)->module_name, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*) { return Py_NewRef(as_function(self)->is_coroutine); }

// Pickled by reference, like the interpreter's functions.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", guarded<get_name>, guarded<set_name>, nullptr, nullptr},
    {"__qualname__", guarded<get_qualname>, guarded<set_qualname>, nullptr, nullptr},
    {"__doc__", guarded<get_doc>, guarded<set_doc>, nullptr, nullptr},
    {"__module__", guarded<get_module>, guarded<set_module>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__annotations__", guarded<get_annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", guarded<get_defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", guarded<get_kwdefaults>, nullptr, nullptr, nullptr},
    {"__signature__", guarded<get_signature>, nullptr, nullptr, nullptr},
    {"_is_coroutine", guarded<get_is_coroutine>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", guarded<function_reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "brevanta.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = guarded<function_repr>;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = guarded<function_descr_get>;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

namespace {

Ref make_default(const Default& d) {
    switch (d.tag) {
        case Default::Tag::Required: return Ref();
        case Default::Tag::None: return none();
        case Default::Tag::False: return boolean(false);
        case Default::Tag::Int: return integer(d.int_value);
        case Default::Tag::Float: return floating(d.float_value);
        case Default::Tag::Str: return str(d.str_value);
    }
    return Ref();
}

// asyncio's marker for coroutine functions; True when the module or the
// marker is missing (ImportError, AttributeError).  Any other error raises.
Ref coroutine_marker() {
    Ref coroutines = Ref::steal_maybe(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = coroutines ? Ref::steal_maybe(PyObject_GetAttrString(coroutines.get(), "_is_coroutine")) : Ref();
    if (marker) return marker;
    if (!PyErr_ExceptionMatches(coroutines ? PyExc_AttributeError : PyExc_ImportError)) throw_error();
    PyErr_Clear();
    return boolean(true);
}

void fill_parameters(FunctionObject* f, const FunctionSpec& spec) {
    if (spec.params.size() > max_params) raise(PyExc_SystemError, "too many parameters in a function declaration");
    f->n_params = spec.params.size();
    for (std::size_t i = 0; i < f->n_params; ++i) {
        const Param& p = spec.params[i];
        f->param_names[i] = check(PyUnicode_InternFromString(p.name));
        f->defaults[i] = make_default(p.fallback).release();
        if (p.kind == Kind::PositionalOrKeyword) {
            if (i != f->n_positional) raise(PyExc_SystemError, "keyword-only parameters must come last");
            ++f->n_positional;
            if (!f->defaults[i]) ++f->n_required;
        }
        f->has_defaults |= f->defaults[i] != nullptr;
    }
}

}  // namespace
}  // namespace detail

using detail::as_function;
using detail::FunctionObject;
using detail::function_type;

Ref make_function(const FunctionSpec& spec, ModuleRecord& module) {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&function_type));
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &function_type)));
    FunctionObject* f = as_function(self.get());
    // Zero every field after the header before anything can fail.
    std::fill(reinterpret_cast<char*>(f) + sizeof(PyObject), reinterpret_cast<char*>(f) + sizeof(FunctionObject), 0);
    f->vectorcall = guarded<detail::function_vectorcall>;
    f->spec = &spec;
    f->module = &module;
    f->error_name = new std::string(std::string(module.full_name) + "." + spec.qualname);
    f->name = check(PyUnicode_InternFromString(spec.name));
    f->qualname = check(PyUnicode_FromString(spec.qualname));
    f->module_name = check(PyUnicode_FromString(module.full_name));
    f->doc = spec.doc ? check(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    f->is_coroutine = spec.coroutine ? detail::coroutine_marker().release() : Py_NewRef(Py_False);
    detail::fill_parameters(f, spec);
    PyObject_GC_Track(self.get());
    return self;
}

CATCHES_THREAD_EXIT PyObject* detail::run_body(PyObject* function, const Args& args) {
    FunctionObject* f = as_function(function);
    try {
        Ref result = f->spec->body(args);
        if (!result) raise(PyExc_SystemError, "a function body returned no value");
        return result.release();
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        set_error_for_current_exception();
    }
    add_traceback(f->spec->qualname, f->module->file_name);
    return nullptr;
}

PyObject* detail::function_name(PyObject* function) { return as_function(function)->name; }
PyObject* detail::function_qualname(PyObject* function) { return as_function(function)->qualname; }
const char* detail::function_spec_qualname(PyObject* function) { return as_function(function)->spec->qualname; }
const char* detail::function_file(PyObject* function) { return as_function(function)->module->file_name; }

}  // namespace boundary
