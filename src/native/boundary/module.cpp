#include "boundary/module.hpp"

#include "boundary/compat.hpp"
#include "boundary/function.hpp"
#include "boundary/guard.hpp"

#include <cstring>
#include <string>

namespace boundary {
namespace {

// One record per module of this shared library (the layer is linked into
// each module separately, so each has its own list).
ModuleRecord* records[4] = {};

// Copies spec.<attribute> to the module as <name>; a missing attribute is skipped.
void copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* module, const char* name, bool skip_none) {
    Ref value = Ref::steal_maybe(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return;
    }
    if (skip_none && value.is_none()) return;
    check(PyObject_SetAttrString(module, name, value.get()));
}

// The interpreter's exit noted before it may end any thread (ref.hpp): atexit
// callbacks run before it does.  Registered once for this shared library.
PyObject* note_interpreter_exit(PyObject*, PyObject*) {
    interpreter_exiting.store(true);
    return Py_NewRef(Py_None);
}

PyMethodDef note_interpreter_exit_def = {"_note_interpreter_exit", guarded<note_interpreter_exit>, METH_NOARGS,
                                         nullptr};

void watch_interpreter_exit() {
    static bool watching = false;
    if (watching) return;
    holds_thread_state();  // finds the interpreter's function now, not while a thread is being ended
    static Name register_name("register");
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref note = Ref::steal(PyCFunction_New(&note_interpreter_exit_def, nullptr));
    call_method(atexit.get(), register_name, {note.get()});
    watching = true;
}

}  // namespace

void add_traceback(const char* function, const char* file) { add_traceback_entry(function, file, 1); }

ModuleRecord::ModuleRecord(const char* short_name_, const char* full_name_, const char* file_name_, const char* doc,
                           std::initializer_list<const char*> builtin_names, ExecSteps exec_steps)
    : short_name(short_name_), full_name(full_name_), file_name(file_name_), doc_(doc), exec_steps_(exec_steps) {
    for (const char* name : builtin_names) {
        if (builtin_count_ < max_builtins) builtin_names_[builtin_count_++] = name;
    }
    for (ModuleRecord*& slot : records) {
        if (!slot) {
            slot = this;
            break;
        }
    }
}

PyObject* ModuleRecord::init() noexcept {
    slots_[0] = {Py_mod_create, reinterpret_cast<void*>(guarded<&ModuleRecord::create_slot>)};
    slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(guarded<&ModuleRecord::exec_slot>)};
    slots_[2] = {0, nullptr};
    def_ = {PyModuleDef_HEAD_INIT, short_name, doc_, 0, nullptr, slots_, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def_);
}

ModuleRecord& ModuleRecord::of(PyModuleDef* def) {
    for (ModuleRecord* record : records) {
        if (record && &record->def_ == def) return *record;
    }
    raise(PyExc_SystemError, "module definition without a record");
}

PyObject* ModuleRecord::create_slot(PyObject* spec, PyModuleDef* def) { return of(def).create(spec); }

int ModuleRecord::exec_slot(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    return of(def).exec(module);
}

PyObject* ModuleRecord::create(PyObject* spec) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_error();
    if (interpreter_id_ == -1) {
        interpreter_id_ = id;
    } else if (interpreter_id_ != id) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    }
    if (module_) return Py_NewRef(module_);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    copy_spec_attribute(spec, "loader", module.get(), "__loader__", false);
    copy_spec_attribute(spec, "origin", module.get(), "__file__", false);
    copy_spec_attribute(spec, "parent", module.get(), "__package__", false);
    copy_spec_attribute(spec, "submodule_search_locations", module.get(), "__path__", true);
    return module.release();
}

CATCHES_THREAD_EXIT int ModuleRecord::exec(PyObject* module) {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name);
        return -1;
    }
    module_ = Py_NewRef(module);
    try {
        run_exec_steps(module);
        return 0;
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        set_error_for_current_exception();
    }
    const std::string entry = std::string("init ") + full_name;
    add_traceback(entry.c_str(), file_name);
    Py_CLEAR(module_);  // a later import starts afresh
    return -1;
}

void ModuleRecord::run_exec_steps(PyObject* module) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    check(PyObject_SetAttrString(module, "__builtins__", builtins.get()));

    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", runtime_major,
                               runtime_minor));
    }

    PyObject* modules = PyImport_GetModuleDict();
    const int present = check(PyDict_Contains(modules, Ref::steal(PyUnicode_FromString(full_name)).get()));
    if (!present) check(PyDict_SetItemString(modules, full_name, module));

    bind_builtins();
    watch_interpreter_exit();
    exec_steps_(*this);
}

void ModuleRecord::bind_builtins() {
    PyObject* table = PyEval_GetBuiltins();
    for (std::size_t i = 0; i < builtin_count_; ++i) {
        Ref name = Ref::steal(PyUnicode_FromString(builtin_names_[i]));
        PyObject* found = PyDict_GetItemWithError(table, name.get());
        if (!found) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            throw_error();
        }
        Py_XSETREF(builtins_[i], Py_NewRef(found));
    }
}

Ref ModuleRecord::global(Name& name) const {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module_), name.get());
    if (found) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    throw_error();
}

void ModuleRecord::bind(const char* name, Ref value) const {
    check(PyDict_SetItemString(PyModule_GetDict(module_), name, value.get()));
}

void ModuleRecord::bind_function(const char* name, const FunctionSpec& spec) { bind(name, make_function(spec, *this)); }

Ref ModuleRecord::import_module(const char* name) const {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return Ref::steal(PyImport_ImportModuleLevelObject(text.get(), PyModule_GetDict(module_), nullptr, nullptr, 0));
}

Ref ModuleRecord::import_from(const char* from, const char* name, int level) const {
    Ref from_text = Ref::steal(PyUnicode_FromString(from));
    Ref name_text = Ref::steal(PyUnicode_FromString(name));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name_text.get()));
    Ref source = Ref::steal(
        PyImport_ImportModuleLevelObject(from_text.get(), PyModule_GetDict(module_), nullptr, fromlist.get(), level));
    Ref value = Ref::steal_maybe(PyObject_GetAttr(source.get(), name_text.get()));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    // A submodule already loaded under that name, found through the
    // package's __name__ (a package without a str __name__ has none).
    static Name dunder_name("__name__");
    Ref package = Ref::steal_maybe(PyObject_GetAttr(source.get(), dunder_name));
    if (!package) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    } else if (PyUnicode_Check(package.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name_text.get()));
        PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (loaded) return Ref::borrow(loaded);
        if (PyErr_Occurred()) throw_error();
    }
    raise_format(PyExc_ImportError, "cannot import name %S", name_text.get());
}

}  // namespace boundary
