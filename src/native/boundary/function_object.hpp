// What the files of the function type share: the layout of a function
// object, the two ways keyword arguments arrive, and the entry points of
// binding, conversion and introspection.  Internal to the boundary layer;
// module code sees function.hpp.
#pragma once

#include "boundary/function.hpp"
#include "boundary/module.hpp"

#include <cstddef>
#include <string>

namespace boundary::detail {

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

inline FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

extern PyTypeObject function_type;  // function.cpp

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

// binding.cpp: binds and converts the arguments into `values` (`self`, when
// not NULL, before `args`); false with the error set (and its traceback
// entry) when they break the declaration.
bool bind_and_convert(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      const VectorKeywords& keywords, ArgStorage& values);
bool bind_and_convert(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      const DictKeywords& keywords, ArgStorage& values);

// converters.cpp: the converting rules first, in parameter order, then the
// exact-type tests.
void convert_all(const FunctionObject* f, PyObject* const* slots, ArgStorage& values);

// introspection.cpp: attributes derived from the declaration.
PyObject* get_annotations(PyObject* self, void*);
PyObject* get_defaults(PyObject* self, void*);
PyObject* get_kwdefaults(PyObject* self, void*);
PyObject* get_signature(PyObject* self, void*);

}  // namespace boundary::detail
