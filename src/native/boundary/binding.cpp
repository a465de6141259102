// Argument binding: positional, keyword and default values into parameter
// slots.  A mismatch raises TypeError with one of the fixed texts below.
#include "boundary/function_object.hpp"
#include "boundary/guard.hpp"

namespace boundary::detail {
namespace {

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

template <class Keywords>
CATCHES_THREAD_EXIT bool bind_and_convert_with(FunctionObject* f, PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, const Keywords& keywords, ArgStorage& values) {
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
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        set_error_for_current_exception();
    }
    add_traceback(f->error_name->c_str(), f->module->file_name);
    return false;
}

}  // namespace

bool bind_and_convert(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      const VectorKeywords& keywords, ArgStorage& values) {
    return bind_and_convert_with(f, self, args, nargs, keywords, values);
}

bool bind_and_convert(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      const DictKeywords& keywords, ArgStorage& values) {
    return bind_and_convert_with(f, self, args, nargs, keywords, values);
}

}  // namespace boundary::detail
