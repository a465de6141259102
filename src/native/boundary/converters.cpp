// The converter table: what each kind of parameter accepts, the conversions
// it makes and the TypeError for a value it refuses.
#include "boundary/function_object.hpp"

namespace boundary::detail {
namespace {

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
        // Say why an instance that passes isinstance() is refused.  The
        // TypeError is held in a Ref while the note is built, so a failure
        // there (MemoryError) releases it; a note that cannot be added
        // leaves its own error raised instead.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref note = str(std::string("Subclasses of builtin types are rejected: pass an exact '") + expected->tp_name + "'.");
        static Name add_note("add_note");
        Ref added = Ref::steal(PyObject_CallMethodOneArg(exc.get(), add_note, note.get()));
        PyErr_SetRaisedException(exc.release());
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

}  // namespace

void convert_all(const FunctionObject* f, PyObject* const* slots, ArgStorage& values) {
    const auto& params = f->spec->params;
    for (std::size_t i = 0; i < f->n_params; ++i) {
        values.push(is_converting(params[i].conv) ? convert(params[i].name, params[i].conv, slots[i])
                                                  : Ref::borrow(slots[i]));
    }
    for (std::size_t i = 0; i < f->n_params; ++i) check_exact_type(params[i].name, params[i].conv, slots[i]);
}

}  // namespace boundary::detail
