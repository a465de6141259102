// The session store: directories, file names, saving, completing and
// archiving session files.
#include "waymark/waymark.hpp"

#include "boundary/caught.hpp"
#include "boundary/compat.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace waymark {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Name;
using boundary::Param;
using boundary::Ref;

Name n_mkdir("mkdir"), n_exist_ok("exist_ok"), n_exists("exists"),
    n_now("now"), n_strftime("strftime"), n_isoformat("isoformat"), n_read_text("read_text"), n_encoding("encoding"),
    n_loads("loads"), n_dumps("dumps"), n_indent("indent"), n_default("default"), n_move("move"), n_name("name"),
    n_completed_at("completed_at"), n_mode("mode"), n_parent("parent");
boundary::Text t_utf8("utf-8");

Ref join(PyObject* directory, PyObject* name) { return Ref::steal(PyNumber_TrueDivide(directory, name)); }

bool path_exists(PyObject* path) { return boundary::truthy(boundary::call_method(path, n_exists).get()); }

// datetime.now().<method>(...), reading the clock through the module's `datetime`.
Ref now_formatted(const char* format) {
    Ref now = boundary::call_method(module.global(n_datetime).get(), n_now);
    return boundary::call_method(now.get(), n_strftime, {boundary::str(format).get()});
}

Ref now_iso() {
    Ref now = boundary::call_method(module.global(n_datetime).get(), n_now);
    return boundary::call_method(now.get(), n_isoformat);
}

// ------------------------------------------------------------ _ensure_dirs

// directory.mkdir(mode=0o700, exist_ok=True): a directory the store creates
// is private to its owner (narrowed further by the umask); one that exists is
// left as it is.
void make_private_directory(PyObject* directory) {
    static PyObject* const private_mode = boundary::check(PyLong_FromLong(0700));  // kept for the process
    boundary::call(Ref::steal(PyObject_GetAttr(directory, n_mkdir)).get(), {},
                   {{n_mode, private_mode}, {n_exist_ok, Py_True}});
}

// What mkdir(parents=True, exist_ok=True) does, where each missing directory
// (the home too) is private; parents=True would make them world-readable.
void make_directory(PyObject* directory) {
    try {
        make_private_directory(directory);
    } catch (const boundary::PythonError&) {
        const boundary::Caught missing;
        if (!missing.matches(PyExc_FileNotFoundError)) missing.reraise();
        Ref parent = Ref::steal(PyObject_GetAttr(directory, n_parent));
        if (boundary::equal(parent.get(), directory)) missing.reraise();
        make_directory(parent.get());
        make_private_directory(directory);
    }
}

Ref ensure_dirs(const Args&) {
    make_directory(module.global(n_sessions_dir).get());
    make_directory(module.global(n_archive_dir).get());
    return boundary::none();
}

// ------------------------------------------------------------ _safe_org_id

// Characters that would leave the directory, cannot be stored in a file
// name, or mean something special to common file systems.
bool unsafe_in_name(Py_UCS4 c, Py_ssize_t position) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return true;  // control characters, NUL included
    if (c >= 0xd800 && c <= 0xdfff) return true;             // lone surrogates
    switch (c) {
        case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|': return true;
        case '.': return position == 0;  // no hidden files, no "." or ".."
        default: return false;
    }
}

Ref safe_org_id(const Args& a) {
    PyObject* org_id = a.get(0);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(org_id);
    const Py_ssize_t hyphen = PyUnicode_FindChar(org_id, '-', 0, length, 1);
    if (hyphen == -2) boundary::throw_error();
    const Py_ssize_t end = std::min<Py_ssize_t>(hyphen < 0 ? length : hyphen, 8);
    Ref shortened = Ref::steal(PyUnicode_Substring(org_id, 0, end));
    bool clean = true;
    for (Py_ssize_t i = 0; i < end && clean; ++i) clean = !unsafe_in_name(PyUnicode_READ_CHAR(org_id, i), i);
    if (clean) return shortened;
    std::vector<Py_UCS4> safe(static_cast<std::size_t>(end));
    for (Py_ssize_t i = 0; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(org_id, i);
        safe[static_cast<std::size_t>(i)] = unsafe_in_name(c, i) ? '_' : c;
    }
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, safe.data(), end));
}

// ------------------------------------------------------------ reading and writing

// Names tried for one file before giving up (a counter per name taken).
constexpr int max_attempts = 10000;

[[noreturn]] void raise_no_free_name(PyObject* last) {
    raise_os_error(EEXIST, "no free file name up to", Ref::steal(PyObject_Str(last)).get());
}

// A file name that is one path component, whatever the clock or the
// shortened identifier gave.
void check_plain_name(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(name, i);
        if (c == '/' || c == 0) boundary::raise_format(PyExc_ValueError, "session file name %R is not a plain file name", name);
    }
}

// "<short id>_<stamp>.json", then "<short id>_<stamp>_<n>.json" while taken.
class SessionNames {
public:
    // The clock is read first, then SESSIONS_DIR and _safe_org_id are looked up.
    explicit SessionNames(PyObject* org_id)
        : stamp_(boundary::format(now_formatted("%Y%m%d_%H%M%S").get())),
          directory_(module.global(n_sessions_dir)),
          prefix_(boundary::format(module.global(n_safe_org_id)(org_id).get())) {}

    Ref path(int attempt) const {
        Ref name = attempt == 1 ? Ref::steal(PyUnicode_FromFormat("%U_%U.json", prefix_.get(), stamp_.get()))
                                : Ref::steal(PyUnicode_FromFormat("%U_%U_%d.json", prefix_.get(), stamp_.get(), attempt));
        check_plain_name(name.get());
        return join(directory_.get(), name.get());
    }

private:
    Ref stamp_, directory_, prefix_;
};

Ref session_payload(PyObject* org_id, PyObject* phase, PyObject* state) {
    Ref payload = Ref::steal(PyDict_New());
    Ref saved_at = now_iso();
    boundary::check(PyDict_SetItem(payload.get(), n_org_id, org_id));
    boundary::check(PyDict_SetItem(payload.get(), n_phase, phase));
    boundary::check(PyDict_SetItem(payload.get(), n_saved_at, saved_at.get()));
    boundary::check(PyDict_SetItem(payload.get(), n_state, state));
    return payload;
}

// ------------------------------------------------------------ save_state

// Path(session_file) when it names something that exists.
Ref existing_session(PyObject* session_file) {
    if (session_file == Py_None || PyUnicode_GET_LENGTH(session_file) == 0) return Ref();
    Ref path = module.global(n_path)(session_file);
    return path_exists(path.get()) ? path : Ref();
}

Ref save_state(const Args& a) {
    PyObject* org_id = a.get(0);
    PyObject* state = a.get(1);
    PyObject* phase = a.get(2);
    module.global(n_ensure_dirs)();
    if (Ref target = existing_session(a.get(3))) {
        Ref payload = session_payload(org_id, phase, state);
        replace_file(fs_path(target.get()), serialise_session(payload.get()).view());
        return Ref::steal(PyObject_Str(target.get()));
    }
    const SessionNames names(org_id);
    Ref target = names.path(1);
    Ref payload = session_payload(org_id, phase, state);
    const OutputBuffer data = serialise_session(payload.get());
    NewFile file(fs_path(target.get()), data.view());
    for (int attempt = 2; !file.publish(fs_path(target.get())); ++attempt) {
        if (attempt > max_attempts) raise_no_free_name(target.get());
        target = names.path(attempt);
    }
    return Ref::steal(PyObject_Str(target.get()));
}

// ------------------------------------------------------------ the store's own files

// What the file system says about a path given to mark_complete or
// archive_session and about SESSIONS_DIR, gathered without the
// interpreter's lock.
struct Whereabouts {
    int lstat_error = 0;
    mode_t mode = 0;
    std::string real_parent, real_sessions;  // empty when realpath() failed
    std::string cwd;
};

std::string working_directory() {
    char* cwd = ::getcwd(nullptr, 0);  // allocated at the size it needs
    if (!cwd) return {};
    std::string directory(cwd);
    std::free(cwd);
    return directory;
}

Whereabouts look_up(const std::string& path, const std::string& sessions) {
    Whereabouts found;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        found.lstat_error = errno;
        return found;
    }
    found.mode = info.st_mode;
    found.real_parent = real_path(directory_of(path));
    found.real_sessions = real_path(sessions);
    found.cwd = working_directory();
    return found;
}

// The path as written, made absolute, without "" and "." components; ".."
// and symbolic links are kept as they are.
std::string as_written(const std::string& path, const std::string& cwd) {
    const std::string full = !path.empty() && path.front() == '/' ? path : cwd + "/" + path;
    std::string out;
    std::size_t start = 0;
    while (start <= full.size()) {
        std::size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        const std::string_view part(full.data() + start, end - start);
        if (!part.empty() && part != ".") out.append("/").append(part);
        start = end + 1;
    }
    return out.empty() ? "/" : out;
}

// The store changes only its own files: a regular file (not a symbolic link,
// a FIFO or a directory) whose parent directory is SESSIONS_DIR, looked up
// now.  The parent must be the same directory, and be written either as
// SESSIONS_DIR is written or with no ".." and no symbolic link at all: so a
// path into the archive, a path that reaches the directory through ".." or
// through a link to it elsewhere, and a link inside it that points out are
// all refused with ValueError naming the path.  The path's file-system form
// when it is one; nothing when nothing is there (the caller returns None, as
// for any missing session).
std::optional<std::string> own_session_file(PyObject* path, const char* function) {
    const std::string given = fs_path(path);
    Ref sessions_dir = module.global(n_sessions_dir);
    const std::string sessions = fs_path(sessions_dir.get());
    const Whereabouts found = without_gil([&] { return look_up(given, sessions); });
    if (found.lstat_error == ENOENT || found.lstat_error == ENOTDIR) return std::nullopt;
    const auto text = [&] { return Ref::steal(PyObject_Str(path)); };  // for the error messages only
    if (found.lstat_error != 0) raise_os_error(found.lstat_error, nullptr, text().get());
    if (!S_ISREG(found.mode)) {
        boundary::raise_format(PyExc_ValueError, "%s() acts on session files only: %R is not a regular file", function,
                               text().get());
    }
    const std::string parent = as_written(directory_of(given), found.cwd);
    const bool same_directory = !found.real_parent.empty() && found.real_parent == found.real_sessions;
    const bool written_plainly = parent == as_written(sessions, found.cwd) || parent == found.real_parent;
    if (!same_directory || !written_plainly) {
        Ref sessions_text = Ref::steal(PyObject_Str(sessions_dir.get()));
        boundary::raise_format(PyExc_ValueError, "%s() acts only on files directly in %R: %R is not one", function,
                               sessions_text.get(), text().get());
    }
    return given;
}

// ------------------------------------------------------------ mark_complete

Ref mark_complete(const Args& a) {
    Ref path = module.global(n_path)(a[0]);
    const std::optional<std::string> file = own_session_file(path.get(), "mark_complete");
    if (!file) return boundary::none();
    Ref data = read_session(path.get());
    if (!data) return boundary::none();
    boundary::check(PyObject_SetItem(data.get(), n_phase, boundary::str("complete").get()));
    boundary::check(PyObject_SetItem(data.get(), n_completed_at, now_iso().get()));
    replace_file(*file, serialise_session(data.get()).view());
    return boundary::none();
}

// ------------------------------------------------------------ archive_session

// ARCHIVE_DIR/<name>, then <stem>_archived_<HHMMSS><suffix>, then with _2, _3, ...
class ArchiveNames {
public:
    ArchiveNames(PyObject* source, Ref archive) : source_(Ref::borrow(source)), archive_(std::move(archive)) {}

    Ref first() const { return join(archive_.get(), source_.attr(n_name).get()); }

    Ref next() {
        if (!stamp_) stamp_ = now_formatted("%H%M%S");
        ++attempt_;
        Ref stem = source_.attr(n_stem), suffix = source_.attr(n_suffix);
        Ref name = attempt_ == 1
                       ? Ref::steal(PyUnicode_FromFormat("%S_archived_%S%S", stem.get(), stamp_.get(), suffix.get()))
                       : Ref::steal(PyUnicode_FromFormat("%S_archived_%S_%d%S", stem.get(), stamp_.get(), attempt_,
                                                         suffix.get()));
        return join(archive_.get(), name.get());
    }

private:
    Ref source_, archive_, stamp_;
    int attempt_ = 0;
};

Ref archive_session(const Args& a) {
    module.global(n_ensure_dirs)();
    Ref path = module.global(n_path)(a[0]);
    const std::optional<std::string> file = own_session_file(path.get(), "archive_session");
    if (!file) return boundary::none();
    ArchiveNames names(path.get(), module.global(n_archive_dir));
    Ref destination = names.first();
    Ref shutil = module.global(n_shutil);
    std::optional<ArchiveMove> own_move;
    if (is_interpreter_shutil(shutil.get())) own_move.emplace(*file);
    for (int attempt = 1;; ++attempt) {
        if (attempt > max_attempts) raise_no_free_name(destination.get());
        if (!path_exists(destination.get())) {
            if (!own_move) {
                Ref source_text = Ref::steal(PyObject_Str(path.get()));
                Ref destination_text = Ref::steal(PyObject_Str(destination.get()));
                boundary::call_method(shutil.get(), n_move, {source_text.get(), destination_text.get()});
                return boundary::none();
            }
            if (own_move->place(fs_path(destination.get()))) return boundary::none();
        }
        destination = names.next();
    }
}

const char* const save_state_doc =
    "Save current session state. Returns session file path.\n\n"
    "    Args:\n"
    "        org_id: The org being worked on.\n"
    "        state: Serialisable dict of pipeline state at this point.\n"
    "        phase: One of PHASES (not 'complete' \xe2\x80\x94 use mark_complete for that).\n"
    "        session_file: If given, update this file in place (same run). Otherwise create new.\n\n"
    "    Returns path to the written session file.\n"
    "    ";

}  // namespace

Ref parse_session(PyObject* text) {
    return boundary::unless_exception(
        [&] { return boundary::call_method(module.global(n_json).get(), n_loads, {text}); });
}

Ref read_session(PyObject* path) {
    return boundary::unless_exception([&] {
        Ref text = boundary::call(Ref::steal(PyObject_GetAttr(path, n_read_text)).get(), {}, {{n_encoding, t_utf8}});
        return boundary::call_method(module.global(n_json).get(), n_loads, {text.get()});
    });
}

OutputBuffer serialise_session(PyObject* payload) {
    Ref json = module.global(n_json);
    OutputBuffer out;
    if (is_interpreter_json(json.get())) {
        if constexpr (boundary::indented_json_is_pure_python) {
            write_indented_json(payload, out);
            return out;
        } else if (write_plain_indented_json(payload, out)) {
            return out;
        }
    }
    Ref indent = boundary::integer(2);
    Ref text = boundary::call(json.attr(n_dumps).get(), {payload},
                              {{n_indent, indent.get()}, {n_default, reinterpret_cast<PyObject*>(&PyUnicode_Type)}});
    if (!PyUnicode_Check(text.get())) {
        boundary::raise_format(PyExc_TypeError, "data must be str, not %s", Py_TYPE(text.get())->tp_name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) boundary::throw_error();
    out.append(utf8, static_cast<std::size_t>(size));
    return out;
}

const boundary::FunctionSpec ensure_dirs_spec{"_ensure_dirs", "_ensure_dirs", nullptr, "None", {}, ensure_dirs};

const boundary::FunctionSpec safe_org_id_spec{
    "_safe_org_id", "_safe_org_id", "Make org_id safe for use in a filename (keep first 8 chars of UUID).", "str",
    {Param{"org_id", "str", Conv::Str}}, safe_org_id};

const boundary::FunctionSpec save_state_spec{
    "save_state", "save_state", save_state_doc, "str",
    {Param{"org_id", "str", Conv::Str}, Param{"state", "dict[str, Any]", Conv::Dict}, Param{"phase", "str", Conv::Str},
     Param{"session_file", "str | None", Conv::StrOrNone, boundary::default_none}},
    save_state};

const boundary::FunctionSpec mark_complete_spec{
    "mark_complete", "mark_complete", "Mark a session as complete so it won't appear in resume prompts.", "None",
    {Param{"session_path", "str", Conv::Str}}, mark_complete};

const boundary::FunctionSpec archive_session_spec{
    "archive_session", "archive_session",
    "Move to archive subdirectory \xe2\x80\x94 used when user declines to resume.", "None",
    {Param{"session_path", "str", Conv::Str}}, archive_session};

}  // namespace waymark
