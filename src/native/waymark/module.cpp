// brevanta.waymark: module definition and the steps that execute it.
#include "waymark/waymark.hpp"

#include "boundary/compat.hpp"

#include <cmath>

namespace waymark {

using boundary::Ref;

boundary::Name n_sessions_dir("SESSIONS_DIR"), n_archive_dir("ARCHIVE_DIR"), n_path("Path"), n_datetime("datetime"),
    n_json("json"), n_shutil("shutil"), n_ensure_dirs("_ensure_dirs"), n_safe_org_id("_safe_org_id");
boundary::Name n_org_id("org_id"), n_phase("phase"), n_saved_at("saved_at"), n_state("state"), n_is_file("is_file"),
    n_suffix("suffix"), n_stem("stem");

Originals originals;

namespace {

constexpr const char* module_doc =
    "Session state persistence for resume capability (D194).\n"
    "\n"
    "Saves pipeline state after each major phase so interrupted runs can resume.\n"
    "State files live in ~/.corvane/sessions/{org_id}_{timestamp}.json.\n";

using boundary::Name;

// What the listing's fast path stands in for on pathlib.PosixPath.
Name path_method_names[Originals::path_method_count] = {
    Name("iterdir"), Name("is_file"), Name("read_text"), Name("suffix"),
    Name("stem"),    Name("__str__"), Name("__fspath__"), Name(boundary::pathlib_child_path_method),
};
// Interned, so that attribute lookups hit the interpreter's type cache
// instead of filling it with new strings.
Name n_dumps("dumps"), n_encoder_class("JSONEncoder"), n_init("__init__"), n_encode("encode"),
    n_iterencode("iterencode"), n_make_iterencode("_make_iterencode"), n_encode_ascii("encode_basestring_ascii"),
    n_c_make_encoder("c_make_encoder"), n_key_separator("key_separator"),
    n_infinity("INFINITY"), n_repr("__repr__"), n_move("move"), n_posix_path("PosixPath");

PyObject* keep(Ref value) { return value.release(); }  // held for the process

Ref attribute(PyObject* owner, Name& name) { return Ref::steal(PyObject_GetAttr(owner, name)); }

// A module's own entry, borrowed; NULL when absent.
PyObject* module_entry(PyObject* module, Name& name) {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!found && PyErr_Occurred()) boundary::throw_error();
    return found;
}

// owner.<name> is `expected`; a missing attribute is not (only its
// AttributeError is expected here).
bool attribute_is(PyObject* owner, Name& name, PyObject* expected) {
    Ref value = Ref::steal_maybe(PyObject_GetAttr(owner, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) boundary::throw_error();
        PyErr_Clear();
        return false;
    }
    return value.is(expected);
}


Ref phases() {
    const char* names[] = {"interview", "analysis", "strategy", "render", "execute", "complete"};
    Ref list = Ref::steal(PyList_New(0));
    for (const char* name : names) boundary::check(PyList_Append(list.get(), boundary::str(name).get()));
    return list;
}

void exec_steps(boundary::ModuleRecord& m) {
    m.bind("json", m.import_module("json"));
    m.bind("shutil", m.import_module("shutil"));
    m.bind("datetime", m.import_from("datetime", "datetime", 0));
    m.bind("Path", m.import_from("pathlib", "Path", 0));
    m.bind("Any", m.import_from("typing", "Any", 0));
    m.bind("config", m.import_from("", "config", 1));

    static boundary::Name config_name("config"), home_name("CORVANE_HOME");
    Ref home = m.global(config_name).attr(home_name);
    m.bind("SESSIONS_DIR", Ref::steal(PyNumber_TrueDivide(home.get(), boundary::str("sessions").get())));
    m.bind("ARCHIVE_DIR", Ref::steal(PyNumber_TrueDivide(m.global(n_sessions_dir).get(), boundary::str("archive").get())));
    m.bind("PHASES", phases());

    m.bind_function("_ensure_dirs", ensure_dirs_spec);
    m.bind_function("save_state", save_state_spec);
    m.bind_function("load_incomplete_sessions", load_incomplete_sessions_spec);
    m.bind_function("mark_complete", mark_complete_spec);
    m.bind_function("archive_session", archive_session_spec);
    m.bind_function("_safe_org_id", safe_org_id_spec);
    m.bind_function("build_serialisable_state", build_serialisable_state_spec);
    capture_originals();
}

}  // namespace

void capture_originals() {
    PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    Originals o;
    o.json_module = keep(module.global(n_json));
    o.json_dumps = keep(attribute(o.json_module, n_dumps));
    o.json_encoder_class = keep(attribute(o.json_module, n_encoder_class));
    o.encoder_init = keep(attribute(o.json_encoder_class, n_init));
    o.encoder_encode = keep(attribute(o.json_encoder_class, n_encode));
    o.encoder_iterencode = keep(attribute(o.json_encoder_class, n_iterencode));
    o.key_separator = keep(attribute(o.json_encoder_class, n_key_separator));
    o.encoder_module = keep(Ref::steal(PyImport_ImportModule("json.encoder")));
    o.make_iterencode = keep(attribute(o.encoder_module, n_make_iterencode));
    o.encode_basestring_ascii = keep(attribute(o.encoder_module, n_encode_ascii));
    o.c_make_encoder = keep(attribute(o.encoder_module, n_c_make_encoder));
    o.infinity = keep(attribute(o.encoder_module, n_infinity));
    o.negative_infinity = keep(boundary::floating(-HUGE_VAL));
    o.int_repr = keep(attribute(int_type, n_repr));
    o.float_repr = keep(attribute(float_type, n_repr));
    o.shutil_module = keep(module.global(n_shutil));
    o.shutil_move = keep(attribute(o.shutil_module, n_move));
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    o.posix_path = keep(attribute(pathlib.get(), n_posix_path));
    for (int i = 0; i < Originals::path_method_count; ++i) {
        o.path_methods[i] = keep(attribute(o.posix_path, path_method_names[i]));
    }
    originals = o;
}

namespace {

// From 3.13 on, json.dumps with an indent hands the document to the C
// encoder, which the writer stands in for only while it is the one captured.
bool runs_interpreter_c_encoder(const Originals& o) {
    if constexpr (boundary::indented_json_is_pure_python) return true;
    return o.c_make_encoder != Py_None && module_entry(o.encoder_module, n_c_make_encoder) == o.c_make_encoder;
}

}  // namespace

bool is_interpreter_json(PyObject* json_module) {
    const Originals& o = originals;
    if (json_module != o.json_module) return false;
    return module_entry(json_module, n_dumps) == o.json_dumps &&
           module_entry(json_module, n_encoder_class) == o.json_encoder_class &&
           attribute_is(o.json_encoder_class, n_init, o.encoder_init) &&
           attribute_is(o.json_encoder_class, n_encode, o.encoder_encode) &&
           attribute_is(o.json_encoder_class, n_iterencode, o.encoder_iterencode) &&
           attribute_is(o.json_encoder_class, n_key_separator, o.key_separator) &&
           module_entry(o.encoder_module, n_make_iterencode) == o.make_iterencode &&
           module_entry(o.encoder_module, n_encode_ascii) == o.encode_basestring_ascii &&
           module_entry(o.encoder_module, n_infinity) == o.infinity && runs_interpreter_c_encoder(o);
}

bool is_interpreter_shutil(PyObject* shutil_module) {
    return shutil_module == originals.shutil_module && module_entry(shutil_module, n_move) == originals.shutil_move;
}

bool is_interpreter_path(PyObject* path) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(path)) != originals.posix_path) return false;
    for (int i = 0; i < Originals::path_method_count; ++i) {
        if (!attribute_is(originals.posix_path, path_method_names[i], originals.path_methods[i])) return false;
    }
    return true;
}

boundary::ModuleRecord module("waymark", "brevanta.waymark", "brevanta/waymark", module_doc, {}, exec_steps);

}  // namespace waymark

PyMODINIT_FUNC PyInit_waymark() { return waymark::module.init(); }
