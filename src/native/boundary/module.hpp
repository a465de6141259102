// Module lifecycle: the create and exec slots that both modules share.
//
// Each module keeps one ModuleRecord for the whole process: which interpreter
// loaded it and which module object is executing or has executed.  The module
// supplies its names, the built-ins it binds once, and its exec steps; the
// record does the rest (the one-interpreter rule, re-import returning the same
// object, the version warning, the failure path).
#pragma once

#include "boundary/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace boundary {

struct FunctionSpec;

struct ModuleRecord {
    using ExecSteps = void (*)(ModuleRecord& record);
    static constexpr std::size_t max_builtins = 8;

    ModuleRecord(const char* short_name, const char* full_name, const char* file_name, const char* doc,
                 std::initializer_list<const char*> builtin_names, ExecSteps exec_steps);

    // PyInit_<name> returns this.
    PyObject* init() noexcept;

    // The module's namespace, for lookups at each use.  NameError when absent.
    Ref global(Name& name) const;
    // A built-in bound once when the module executed, by its position in the
    // list given to the constructor.
    PyObject* builtin(std::size_t index) const noexcept { return builtins_[index]; }

    // For exec steps: bind a module attribute, and the import statements.
    void bind(const char* name, Ref value) const;
    // Binds a new function of `spec` (static data of the module) as `name`.
    void bind_function(const char* name, const FunctionSpec& spec);
    Ref import_module(const char* name) const;                          // import name
    Ref import_from(const char* from, const char* name, int level) const;  // from <from> import name

    const char* short_name;
    const char* full_name;  // "brevanta.<short_name>", used in messages and __module__
    const char* file_name;  // "brevanta/<short_name>", used in traceback entries

private:
    static PyObject* create_slot(PyObject* spec, PyModuleDef* def);
    static int exec_slot(PyObject* module);
    static ModuleRecord& of(PyModuleDef* def);
    PyObject* create(PyObject* spec);
    int exec(PyObject* module);
    void run_exec_steps(PyObject* module);
    void bind_builtins();

    const char* doc_;
    const char* builtin_names_[max_builtins] = {};
    std::size_t builtin_count_ = 0;
    ExecSteps exec_steps_;

    // Process-wide state: one interpreter per process, one module object.
    std::int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;
    PyObject* builtins_[max_builtins] = {};

    PyModuleDef_Slot slots_[3] = {};
    PyModuleDef def_ = {};
};

// Adds a traceback entry "<function>" in "<file>" to the exception being raised.
void add_traceback(const char* function, const char* file);

}  // namespace boundary
