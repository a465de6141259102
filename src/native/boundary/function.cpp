// The function type shared by every function of both modules: argument
// binding with the interpreter's messages, the converter table, descriptor
// binding and introspection derived from the declared signature.
#include "boundary/function.hpp"

#include "boundary/coroutine.hpp"
#include "boundary/module.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <string>

namespace boundary {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    ModuleRecord* module;
    std::size_t n_params;
    std::size_t n_positional;  // positional-or-keyword parameters
    std::size_t n_required;    // of those, without a default
    bool has_defaults;
    PyObject* param_names[max_params];  // interned
    PyObject* defaults[max_params];     // NULL for a required parameter
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* is_coroutine;  // asyncio's marker for coroutine functions, else False
    PyObject* dict;
    PyObject* annotations;  // built on first access, then the same dict
    PyObject* signature;    // likewise
    PyObject* weakrefs;
    std::string* error_name;  // "<module>.<qualname>" for traceback entries of argument errors
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// ---------------------------------------------------------------- binding

[[noreturn]] void raise_count(const FunctionObject* f, const char* quantity, std::size_t expected, Py_ssize_t given) {
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name,
                 quantity, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
}

bool all_keyword_only(const FunctionObject* f) { return f->n_params > 0 && f->n_positional == 0; }

const char* count_word(const FunctionObject* f, const char* otherwise) {
    return (!f->has_defaults || all_keyword_only(f)) ? "exactly" : otherwise;
}

// Index of the parameter named `key`, or -1.  Interned names usually match by
// identity; equal strings built at run time fall back to comparison.
Py_ssize_t find_parameter(const FunctionObject* f, PyObject* key) {
    for (std::size_t i = 0; i < f->n_params; ++i) {
        if (f->param_names[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < f->n_params; ++i) {
        if (PyUnicode_Compare(f->param_names[i], key) == 0) return static_cast<Py_ssize_t>(i);
        if (PyErr_Occurred()) throw_error();
    }
    return -1;
}

// Keyword arguments as vectorcall passes them: names in a tuple, values
// after the positional arguments.
struct VectorKeywords {
    PyObject* names;
    PyObject* const* values;
    Py_ssize_t size() const { return names ? PyTuple_GET_SIZE(names) : 0; }
    template <class Take>
    void each(Take take) const {
        for (Py_ssize_t k = 0; k < size(); ++k) take(PyTuple_GET_ITEM(names, k), values[k]);
    }
};

// Keyword arguments as a call through a dict passes them, in the dict's order.
struct DictKeywords {
    PyObject* dict;  // may be NULL
    Py_ssize_t size() const { return dict ? PyDict_GET_SIZE(dict) : 0; }
    template <class Take>
    void each(Take take) const {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (dict && PyDict_Next(dict, &position, &key, &value)) take(key, value);
    }
};

// Fills `slots` (borrowed) from the positional arguments (`self`, when not
// NULL, before `args`), the keyword arguments and the defaults.
template <class Keywords>
void bind(const FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs, const Keywords& keywords,
          PyObject** slots) {
    const Py_ssize_t npos = nargs + (self != nullptr);
    if (npos > static_cast<Py_ssize_t>(f->n_positional)) raise_count(f, count_word(f, "at most"), f->n_positional, npos);
    if (npos < static_cast<Py_ssize_t>(f->n_required) && keywords.size() == 0) {
        raise_count(f, count_word(f, "at least"), f->n_required, npos);
    }
    PyObject** next = slots;
    if (self) *next++ = self;
    for (Py_ssize_t i = 0; i < nargs; ++i) *next++ = args[i];
    keywords.each([&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
        const Py_ssize_t index = find_parameter(f, key);
        if (index < 0) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->spec->name, key);
        if (slots[index]) raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->spec->name, key);
        slots[index] = value;
    });
    for (std::size_t i = 0; i < f->n_params; ++i) {
        if (slots[i]) continue;
        if (!f->defaults[i]) raise_count(f, count_word(f, "at least"), f->n_required, static_cast<Py_ssize_t>(i));
        slots[i] = f->defaults[i];
    }
}

// ------------------------------------------------------------- converters

const char* expected_type_name(Conv conv) {
    switch (conv) {
        case Conv::Str:
        case Conv::StrOrNone: return "str";
        case Conv::Dict: return "dict";
        case Conv::ListOrNone: return "list";
        case Conv::Int:
        case Conv::IntOrNone: return "int";
        case Conv::Float:
        case Conv::FloatOrNone: return "float";
        default: return "object";
    }
}

PyTypeObject* exact_type(Conv conv) {
    switch (conv) {
        case Conv::Str:
        case Conv::StrOrNone: return &PyUnicode_Type;
        case Conv::Dict: return &PyDict_Type;
        case Conv::ListOrNone: return &PyList_Type;
        default: return nullptr;
    }
}

[[noreturn]] void raise_argument_type(const char* param, Conv conv, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected_type_name(conv), Py_TYPE(value)->tp_name);
    PyTypeObject* expected = exact_type(conv);
    if (expected && PyObject_TypeCheck(value, expected)) {
        // Say why an instance that passes isinstance() is refused.
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = str(std::string("Subclasses of builtin types are rejected: pass an exact '") + expected->tp_name + "'.");
        static Name add_note("add_note");
        Ref added = Ref::steal_maybe(PyObject_CallMethodOneArg(exc, add_note, note.get()));
        if (added) {
            PyErr_SetRaisedException(exc);
        } else {
            Py_DECREF(exc);
        }
    }
    throw_error();
}

bool is_converting(Conv conv) {
    return conv == Conv::Int || conv == Conv::IntOrNone || conv == Conv::Float || conv == Conv::FloatOrNone ||
           conv == Conv::Bool;
}

Ref convert_int(const char* param, Conv conv, PyObject* value) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    if (!PyNumber_Check(value)) raise_argument_type(param, conv, value);
    return Ref::steal(PyNumber_Long(value));
}

Ref convert_float(PyObject* value) {
    if (PyFloat_CheckExact(value)) return Ref::borrow(value);
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return floating(d);
}

Ref convert_optional_float(const char* param, Conv conv, PyObject* value) {
    if (PyFloat_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value)) {
        const double d = PyLong_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) throw_error();
        return floating(d);
    }
    if (!PyNumber_Check(value)) raise_argument_type(param, conv, value);
    return Ref::steal(PyNumber_Float(value));
}

Ref convert(const char* param, Conv conv, PyObject* value) {
    const bool is_none = value == Py_None;
    switch (conv) {
        case Conv::Int: return convert_int(param, conv, value);
        case Conv::IntOrNone: return is_none ? none() : convert_int(param, conv, value);
        case Conv::Float: return convert_float(value);
        case Conv::FloatOrNone: return is_none ? none() : convert_optional_float(param, conv, value);
        case Conv::Bool: return boolean(truthy(value));
        default: return Ref::borrow(value);
    }
}

void check_exact_type(const char* param, Conv conv, PyObject* value) {
    switch (conv) {
        case Conv::StrOrNone:
        case Conv::ListOrNone:
            if (value == Py_None) return;
            [[fallthrough]];
        case Conv::Str:
        case Conv::Dict:
            if (Py_IS_TYPE(value, exact_type(conv))) return;
            raise_argument_type(param, conv, value);
        default: return;
    }
}

// Converting rules first, in parameter order, then the exact-type tests.
void convert_all(const FunctionObject* f, PyObject* const* slots, ArgStorage& values) {
    const auto& params = f->spec->params;
    for (std::size_t i = 0; i < f->n_params; ++i) {
        values.push(is_converting(params[i].conv) ? convert(params[i].name, params[i].conv, slots[i])
                                                  : Ref::borrow(slots[i]));
    }
    for (std::size_t i = 0; i < f->n_params; ++i) check_exact_type(params[i].name, params[i].conv, slots[i]);
}

// --------------------------------------------------------------- the call

// Binds and converts the arguments into `values`; false with the error set
// (and its traceback entry) when they break the declaration.
template <class Keywords>
bool bind_and_convert(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      const Keywords& keywords, ArgStorage& values) {
    try {
        if (f->n_params == 0) {
            if (keywords.size() > 0) raise_format(PyExc_TypeError, "%.200s() %s", f->spec->name, "takes no keyword arguments");
            if (nargs > 0) raise_format(PyExc_TypeError, "%.200s() %s (%zd given)", f->spec->name, "takes no arguments", nargs);
            return true;
        }
        PyObject* slots[max_params];
        for (std::size_t i = 0; i < f->n_params; ++i) slots[i] = nullptr;
        bind(f, self, args, nargs, keywords, slots);
        convert_all(f, slots, values);
        return true;
    } catch (const PythonError&) {
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    add_traceback(f->error_name->c_str(), f->module->file_name);
    return false;
}

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

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
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
    for (std::size_t i = 0; i < f->n_params; ++i) Py_CLEAR(f->defaults[i]);
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

template <class Build>
PyObject* guarded(Build build) {
    try {
        return build().release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

Ref annotations_of(const FunctionObject* f) {
    Ref dict = Ref::steal(PyDict_New());
    for (const Param& p : f->spec->params) {
        if (p.annotation) check(PyDict_SetItemString(dict.get(), p.name, str(p.annotation).get()));
    }
    if (f->spec->return_annotation) check(PyDict_SetItemString(dict.get(), "return", str(f->spec->return_annotation).get()));
    return dict;
}

// An introspection value built on first access, then the same object each time.
template <class Build>
PyObject* built_once(PyObject*& field, Build build) {
    if (!field) {
        PyObject* built = guarded(build);
        if (!built) return nullptr;
        field = built;
    }
    return Py_NewRef(field);
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return built_once(f->annotations, [&] { return annotations_of(f); });
}

PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        Py_ssize_t count = 0;
        for (std::size_t i = 0; i < f->n_positional; ++i) count += f->defaults[i] != nullptr;
        if (count == 0) return none();
        Ref tuple = Ref::steal(PyTuple_New(count));
        Py_ssize_t k = 0;
        for (std::size_t i = 0; i < f->n_positional; ++i) {
            if (f->defaults[i]) PyTuple_SET_ITEM(tuple.get(), k++, Py_NewRef(f->defaults[i]));
        }
        return tuple;
    });
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (f->n_positional == f->n_params) return none();
        Ref dict = Ref::steal(PyDict_New());
        for (std::size_t i = f->n_positional; i < f->n_params; ++i) {
            if (f->defaults[i]) check(PyDict_SetItem(dict.get(), f->param_names[i], f->defaults[i]));
        }
        return dict;
    });
}

// inspect.Signature built from the declaration, so help() and
// inspect.signature() show the real parameters, defaults and annotations.
Ref signature_of(const FunctionObject* f) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter_type = inspect.attr("Parameter");
    Ref empty = parameter_type.attr("empty");
    Ref positional_or_keyword = parameter_type.attr("POSITIONAL_OR_KEYWORD");
    Ref keyword_only = parameter_type.attr("KEYWORD_ONLY");
    static Name kind_name("kind"), default_name("default"), annotation_name("annotation"),
        return_annotation_name("return_annotation");
    Ref parameters = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < f->n_params; ++i) {
        const Param& p = f->spec->params[i];
        Ref annotation = p.annotation ? str(p.annotation) : empty;
        Ref kind = p.kind == Kind::KeywordOnly ? keyword_only : positional_or_keyword;
        Ref parameter = call(parameter_type.get(), {f->param_names[i]},
                             {{kind_name, kind.get()},
                              {default_name, f->defaults[i] ? f->defaults[i] : empty.get()},
                              {annotation_name, annotation.get()}});
        check(PyList_Append(parameters.get(), parameter.get()));
    }
    Ref returns = f->spec->return_annotation ? str(f->spec->return_annotation) : inspect.attr("Signature").attr("empty");
    return call(inspect.attr("Signature").get(), {parameters.get()}, {{return_annotation_name, returns.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return built_once(f->signature, [&] { return signature_of(f); });
}

// Pickled by reference, like the interpreter's functions.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "brevanta.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

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

// asyncio's marker for coroutine functions; True when it cannot be imported.
Ref coroutine_marker() {
    Ref coroutines = Ref::steal_maybe(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = coroutines ? Ref::steal_maybe(PyObject_GetAttrString(coroutines.get(), "_is_coroutine")) : Ref();
    if (!marker) {
        PyErr_Clear();
        return boolean(true);
    }
    return marker;
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

Ref make_function(const FunctionSpec& spec, ModuleRecord& module) {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&function_type));
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &function_type)));
    FunctionObject* f = as_function(self.get());
    // Zero every field after the header before anything can fail.
    std::fill(reinterpret_cast<char*>(f) + sizeof(PyObject), reinterpret_cast<char*>(f) + sizeof(FunctionObject), 0);
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->module = &module;
    f->error_name = new std::string(std::string(module.full_name) + "." + spec.qualname);
    f->name = check(PyUnicode_InternFromString(spec.name));
    f->qualname = check(PyUnicode_FromString(spec.qualname));
    f->module_name = check(PyUnicode_FromString(module.full_name));
    f->doc = spec.doc ? check(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    f->is_coroutine = spec.coroutine ? coroutine_marker().release() : Py_NewRef(Py_False);
    fill_parameters(f, spec);
    PyObject_GC_Track(self.get());
    return self;
}

namespace {

// The type's __init__ called with the arguments of a class call, as
// slot_tp_init would, but bound straight from the argument tuple and dict.
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    static Name init_name("__init__");
    PyObject* init = _PyType_Lookup(Py_TYPE(self), init_name);
    if (!init || !Py_IS_TYPE(init, &function_type)) {
        // Not ours any more: the generic way, through the descriptor.
        Ref bound = Ref::steal_maybe(PyObject_GetAttr(self, init_name));
        if (!bound) return -1;
        Ref result = Ref::steal_maybe(PyObject_Call(bound.get(), args, kwargs));
        return result ? 0 : -1;
    }
    FunctionObject* f = as_function(init);
    Ref held = Ref::borrow(init);
    ArgStorage values;
    if (!bind_and_convert(f, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), DictKeywords{kwargs}, values)) {
        return -1;
    }
    Ref result = Ref::steal_maybe(detail::run_body(init, values.args()));
    return result ? 0 : -1;
}

}  // namespace

void use_init_slot(PyObject* cls) {
    // Assigning __init__ later resets the slot to the interpreter's generic one.
    reinterpret_cast<PyTypeObject*>(cls)->tp_init = init_slot;
}

PyObject* detail::run_body(PyObject* function, const Args& args) {
    FunctionObject* f = as_function(function);
    try {
        Ref result = f->spec->body(args);
        if (!result) raise(PyExc_SystemError, "a function body returned no value");
        return result.release();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    add_traceback(f->spec->qualname, f->module->file_name);
    return nullptr;
}

PyObject* detail::function_name(PyObject* function) { return as_function(function)->name; }
PyObject* detail::function_qualname(PyObject* function) { return as_function(function)->qualname; }
const char* detail::function_file(PyObject* function) { return as_function(function)->module->file_name; }

}  // namespace boundary
