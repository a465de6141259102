// Writing report lines.
//
// A report is a hundred lines or more, and most of its time goes into
// print() and the display operations.  Two fast paths stand in for
// interpreter calls while the objects are still the interpreter's own, with
// the same results:
// - the bound `print` when it is the interpreter's own built-in: what its
//   one-argument form does (sys.stdout looked up at each call, None means
//   no output, then write(text) and write("\n")), without packing and
//   parsing its arguments;
// - an attribute of `display` when `display` is a plain module: its
//   namespace holds the attribute (ModuleType defines none of these names).
#include "gapscope/report_console.hpp"

#include <cstdio>
#include <cstring>
#include <vector>

namespace gapscope::console {
namespace {

using boundary::Name;
using boundary::Ref;

// The interpreter's own print: the "print" entry of the builtins module.
bool is_interpreter_print(PyObject* print) {
    if (!PyCFunction_CheckExact(print)) return false;
    PyObject* owner = PyCFunction_GET_SELF(print);
    if (!owner || !PyModule_CheckExact(owner)) return false;
    PyModuleDef* def = PyModule_GetDef(owner);
    if (!def || !def->m_name || std::strcmp(def->m_name, "builtins") != 0 || !def->m_methods) return false;
    for (PyMethodDef* entry = def->m_methods; entry->ml_name; ++entry) {
        if (std::strcmp(entry->ml_name, "print") == 0) return PyCFunction_GET_FUNCTION(print) == entry->ml_meth;
    }
    return false;
}

// The bound print never changes once the module executed; decide once per object.
bool bound_print_is_interpreters(PyObject* print) {
    static PyObject* decided_for = nullptr;
    static bool decision = false;
    if (print != decided_for) {
        decision = is_interpreter_print(print);
        decided_for = print;
    }
    return decision;
}

// The namespace of `sys` (the interpreter's sys dict), kept for the process.
PyObject* sys_namespace() {
    static PyObject* namespace_ = nullptr;
    if (!namespace_) {
        Ref sys = Ref::steal(PyImport_ImportModule("sys"));
        namespace_ = Py_NewRef(PyModule_GetDict(sys.get()));  // kept for the process
    }
    return namespace_;
}

// sys.stdout as print finds it: nullptr when the name is missing.
Ref current_stdout() {
    static Name stdout_name("stdout");
    PyObject* found = PyDict_GetItemWithError(sys_namespace(), stdout_name.get());
    if (!found && PyErr_Occurred()) boundary::throw_error();
    return Ref::borrow_maybe(found);
}

// What print(text) / print() does with the default sep, end, file and flush.
void interpreter_print(PyObject* text) {
    Ref file = current_stdout();
    if (!file) boundary::raise(PyExc_RuntimeError, "lost sys.stdout");
    if (file.is_none()) return;
    if (text) boundary::check(PyFile_WriteObject(text, file.get(), Py_PRINT_RAW));
    boundary::check(PyFile_WriteString("\n", file.get()));
}

Name n_display("display");

// Escape sequences in model text could clear the screen, retitle the window
// or write the clipboard; a lone surrogate cannot be encoded at all; a
// bidirectional override or an invisible character makes the line read
// otherwise than it is.
bool needs_escape(Py_UCS4 c) {
    if (c < 0x20) return c != '\t' && c != '\n';
    if (c < 0x7f) return false;
    return c <= 0x9f || c == 0x61c || (c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xfeff ||
           (c >= 0xd800 && c <= 0xdfff);
}

void append_escape(std::vector<Py_UCS4>& out, Py_UCS4 c) {
    char escape[8];
    if (c == '\r') std::snprintf(escape, sizeof escape, "\\r");
    else if (c <= 0xff) std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
    else std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
    for (const char* p = escape; *p; ++p) out.push_back(static_cast<unsigned char>(*p));
}

}  // namespace

Ref terminal_safe(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t first = 0;
    while (first < length && !needs_escape(PyUnicode_READ(kind, data, first))) ++first;
    if (first == length) return Ref::borrow(text);
    std::vector<Py_UCS4> shown;
    shown.reserve(static_cast<std::size_t>(length) + 16);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (needs_escape(c)) append_escape(shown, c);
        else shown.push_back(c);
    }
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, shown.data(), static_cast<Py_ssize_t>(shown.size())));
}

void print_line(PyObject* text) {
    PyObject* print = module.builtin(builtin_print);
    if (bound_print_is_interpreters(print)) return interpreter_print(text);
    if (text) boundary::call(print, {text});
    else boundary::call(print, {});
}

Ref display_op(Name& name) {
    Ref display = module.global(n_display);
    if (PyModule_CheckExact(display.get())) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(display.get()), name.get());
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) boundary::throw_error();
    }
    return display.attr(name.get());
}

}  // namespace gapscope::console
