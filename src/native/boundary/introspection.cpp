// Introspection derived from the declared signature: __annotations__,
// __defaults__, __kwdefaults__ and __signature__, so that help() and
// inspect.signature() show the real parameters.
//
// These getters may throw: the function type's table hands them to the
// interpreter through guarded<> (function.cpp).
#include "boundary/function_object.hpp"

namespace boundary::detail {
namespace {

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
    if (!field) field = build().release();
    return Py_NewRef(field);
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

}  // namespace

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return built_once(f->annotations, [&] { return annotations_of(f); });
}

PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    Py_ssize_t count = 0;
    for (std::size_t i = 0; i < f->n_positional; ++i) count += f->defaults[i] != nullptr;
    if (count == 0) return none().release();
    Ref tuple = Ref::steal(PyTuple_New(count));
    Py_ssize_t k = 0;
    for (std::size_t i = 0; i < f->n_positional; ++i) {
        if (f->defaults[i]) PyTuple_SET_ITEM(tuple.get(), k++, Py_NewRef(f->defaults[i]));
    }
    return tuple.release();
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->n_positional == f->n_params) return none().release();
    Ref dict = Ref::steal(PyDict_New());
    for (std::size_t i = f->n_positional; i < f->n_params; ++i) {
        if (f->defaults[i]) check(PyDict_SetItem(dict.get(), f->param_names[i], f->defaults[i]));
    }
    return dict.release();
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return built_once(f->signature, [&] { return signature_of(f); });
}

}  // namespace boundary::detail
