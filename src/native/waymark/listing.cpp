// load_incomplete_sessions: the organisation's unfinished sessions, newest
// first.
//
// While SESSIONS_DIR is a plain pathlib path, the directory is read here and
// names are matched before any file is opened; otherwise the path object's
// own iterdir()/is_file()/is_symlink()/read_text() do the work.  Either way
// only regular files are read (a symbolic link, a FIFO or a directory is
// passed over without being opened), and one file that cannot be read, does
// not parse or is not a JSON object is passed over.
#include "waymark/waymark.hpp"

#include "boundary/caught.hpp"
#include "boundary/compat.hpp"
#include "boundary/guard.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

Name n_path_key("path"), n_iterdir("iterdir"), n_is_symlink("is_symlink"), n_startswith("startswith"), n_sort("sort"), n_key("key"),
    n_reverse("reverse");
boundary::Text t_complete("complete"), t_unknown("unknown"), t_empty(""), t_json_suffix(".json");

// Marks a member that the file does not have.
PyObject* missing() {
    static PyObject* sentinel = boundary::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return sentinel;
}

// Appends the session record for one parsed file, unless the file is no
// session of this organisation or is complete.
void consider(PyObject* data, PyObject* path_text, PyObject* org_id, PyObject* sessions) {
    if (!PyDict_Check(data)) return;  // valid JSON, but not a session object
    Ref phase = boundary::get_item(data, n_phase, nullptr);
    if (boundary::compare(phase.get(), t_complete, Py_EQ)) return;
    Ref owner = boundary::get_item(data, n_org_id, missing());
    if (!owner.is(missing()) && boundary::compare(owner.get(), org_id, Py_NE)) return;  // another organisation's
    Ref empty_state = Ref::steal(PyDict_New());
    Ref record = Ref::steal(PyDict_New());
    const std::pair<Name*, Ref> members[] = {
        {&n_path_key, Ref::borrow(path_text)},
        {&n_org_id, boundary::get_item(data, n_org_id, org_id)},
        {&n_phase, boundary::get_item(data, n_phase, t_unknown)},
        {&n_saved_at, boundary::get_item(data, n_saved_at, t_empty)},
        {&n_state, boundary::get_item(data, n_state, empty_state.get())},
    };
    for (const auto& [key, value] : members) boundary::check(PyDict_SetItem(record.get(), key->get(), value.get()));
    boundary::check(PyList_Append(sessions, record.get()));
}

// ------------------------------------------------------------ the fast path

// Whole content of a regular file, or false when it cannot be read or is no
// longer a regular file: O_NOFOLLOW and O_NONBLOCK keep a link or a FIFO put
// in its place since the listing from being followed or waited on.
bool read_file(const std::string& path, std::string& content) {
    return without_gil([&] {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat info;
        bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        if (ok) {
            content.resize(static_cast<std::size_t>(info.st_size));
            std::size_t filled = 0;
            for (;;) {
                if (filled == content.size()) content.resize(filled + 4096 + filled / 2);
                const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    ok = got == 0;
                    break;
                }
                filled += static_cast<std::size_t>(got);
            }
            content.resize(filled);
        }
        ::close(fd);
        return ok;
    });
}

// What read_text(encoding="utf-8") returns: strict UTF-8 with universal
// newlines; an empty Ref when the bytes are not UTF-8.
Ref decode_text(std::string& content) {
    if (content.find('\r') != std::string::npos) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < content.size(); ++i) {
            if (content[i] == '\r') {
                content[out++] = '\n';
                if (i + 1 < content.size() && content[i + 1] == '\n') ++i;
            } else {
                content[out++] = content[i];
            }
        }
        content.resize(out);
    }
    return boundary::unless_exception([&] {
        return Ref::steal(PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
    });
}

struct Candidate {
    std::string name;  // as the directory holds it
    unsigned char type;
};

// A matching name: "<prefix>_....json", where a name of just ".json" has no suffix.
class NameFilter {
public:
    explicit NameFilter(PyObject* stem_prefix) : stem_prefix_(stem_prefix) {
        if (PyUnicode_IS_ASCII(stem_prefix)) {
            ascii_.assign(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(stem_prefix)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(stem_prefix)));
        }
        ascii_only_ = PyUnicode_IS_ASCII(stem_prefix);
    }

    // What can be told without Python (the suffix, an ASCII prefix); may run
    // without the interpreter's lock.
    bool may_match(const char* name, std::size_t length) const {
        if (length <= suffix_length || std::memcmp(name + length - suffix_length, ".json", suffix_length) != 0) {
            return false;
        }
        const std::size_t stem_length = length - suffix_length;
        return !ascii_only_ || (stem_length >= ascii_.size() && std::memcmp(name, ascii_.data(), ascii_.size()) == 0);
    }

    // A name that may_match() let through.
    bool matches(const std::string& name) const {
        if (ascii_only_) return true;
        // Decoded as os.listdir decodes names, then compared as text.
        const std::size_t stem_length = name.size() - suffix_length;
        Ref stem = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(stem_length)));
        return boundary::check(static_cast<int>(
                   PyUnicode_Tailmatch(stem.get(), stem_prefix_, 0, PY_SSIZE_T_MAX, -1))) == 1;
    }

private:
    static constexpr std::size_t suffix_length = 5;  // ".json"
    PyObject* stem_prefix_;
    std::string ascii_;
    bool ascii_only_ = false;
};

// The names in `directory` that may match, read with the interpreter's lock
// released; the errno of a failing opendir() or readdir() otherwise.
int read_names(const std::string& directory, const NameFilter& filter, std::vector<Candidate>& found) {
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return errno;
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (!entry) {
            error = errno;
            break;
        }
        const std::size_t length = std::strlen(entry->d_name);
        if (filter.may_match(entry->d_name, length)) found.push_back({std::string(entry->d_name, length), entry->d_type});
    }
    ::closedir(listing);
    return error;
}

std::vector<Candidate> matching_names(const std::string& directory, PyObject* directory_text, const NameFilter& filter) {
    std::vector<Candidate> found;
    if (const int error = without_gil([&] { return read_names(directory, filter, found); })) {
        raise_os_error(error, nullptr, directory_text);
    }
    std::erase_if(found, [&](const Candidate& candidate) { return !filter.matches(candidate.name); });
    return found;
}

// str() of the child path, as pathlib forms it.
Ref child_text(PyObject* directory_text, const std::string& name) {
    Ref name_text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(directory_text);
    if (length > 0 && PyUnicode_READ_CHAR(directory_text, length - 1) == '/') {
        return Ref::steal(PyUnicode_Concat(directory_text, name_text.get()));
    }
    if (PyUnicode_CompareWithASCIIString(directory_text, ".") == 0) return name_text;
    return Ref::steal(PyUnicode_FromFormat("%U/%U", directory_text, name_text.get()));
}

// A regular file itself, not a link to one: the directory entry's type, or
// lstat() where the file system does not give it; errors other than "not
// there" raise.
bool is_regular_file(const Candidate& candidate, const std::string& path, PyObject* path_text) {
    if (candidate.type != DT_UNKNOWN) return candidate.type == DT_REG;
    struct stat info;
    const int error = without_gil([&] { return ::lstat(path.c_str(), &info) == 0 ? 0 : errno; });
    if (error == 0) return S_ISREG(info.st_mode);
    if (boundary::is_file_hides_stat_error(error)) return false;
    raise_os_error(error, nullptr, path_text);
}

void scan_directory(PyObject* sessions_dir, PyObject* stem_prefix, PyObject* org_id, PyObject* sessions) {
    Ref directory_text = Ref::steal(PyObject_Str(sessions_dir));
    const std::string directory = fs_path(directory_text.get());
    const NameFilter filter(stem_prefix);
    std::string content;
    for (const Candidate& candidate : matching_names(directory, directory_text.get(), filter)) {
        const std::string path = (directory.empty() || directory.back() == '/' ? directory : directory + "/") + candidate.name;
        Ref path_text = child_text(directory_text.get(), candidate.name);
        if (!is_regular_file(candidate, path, path_text.get())) continue;
        if (!read_file(path, content)) continue;
        Ref text = decode_text(content);
        if (!text) continue;
        if (Ref data = parse_session(text.get())) consider(data.get(), path_text.get(), org_id, sessions);
    }
}

// ------------------------------------------------------------ any path object

void scan_entries(PyObject* sessions_dir, PyObject* stem_prefix, PyObject* org_id, PyObject* sessions) {
    Ref entries = Ref::steal(PyObject_GetIter(boundary::call_method(sessions_dir, n_iterdir).get()));
    while (Ref entry = Ref::steal_maybe(PyIter_Next(entries.get()))) {
        if (!boundary::truthy(boundary::call_method(entry.get(), n_is_file).get())) continue;
        if (boundary::truthy(boundary::call_method(entry.get(), n_is_symlink).get())) continue;
        if (boundary::compare(entry.attr(n_suffix).get(), t_json_suffix, Py_NE)) continue;
        if (!boundary::truthy(boundary::call_method(entry.attr(n_stem).get(), n_startswith, {stem_prefix}).get())) continue;
        Ref data = read_session(entry.get());
        if (!data) continue;
        Ref path_text = Ref::steal(PyObject_Str(entry.get()));
        consider(data.get(), path_text.get(), org_id, sessions);
    }
    if (PyErr_Occurred()) boundary::throw_error();
}

// ------------------------------------------------------------ newest first

// The sort key: `saved_at` when it is a str, else "" (sorting last).  The
// interpreter calls it as a C function (through the guard), which returns a
// new reference.
PyObject* saved_at_key(PyObject*, PyObject* record) {
    PyObject* saved_at = PyDict_Check(record) ? PyDict_GetItemWithError(record, n_saved_at) : nullptr;
    if (saved_at && PyUnicode_Check(saved_at)) return Py_NewRef(saved_at);
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(t_empty.get());
}

PyMethodDef saved_at_key_def = {"saved_at_key", boundary::guarded<saved_at_key>, METH_O, nullptr};

void sort_newest_first(PyObject* sessions) {
    static PyObject* key = boundary::check(PyCFunction_New(&saved_at_key_def, nullptr));
    boundary::call(Ref::steal(PyObject_GetAttr(sessions, n_sort)).get(), {}, {{n_key, key}, {n_reverse, Py_True}});
}

Ref load_incomplete_sessions(const Args& a) {
    PyObject* org_id = a.get(0);
    module.global(n_ensure_dirs)();
    Ref sessions = Ref::steal(PyList_New(0));
    Ref prefix = module.global(n_safe_org_id)(org_id);
    // The shortened identifier and "_": "acme" never sees "acmecorp_..." files.
    Ref stem_prefix = Ref::steal(PyNumber_Add(prefix.get(), boundary::str("_").get()));
    Ref sessions_dir = module.global(n_sessions_dir);
    if (is_interpreter_path(sessions_dir.get()) && PyUnicode_CheckExact(stem_prefix.get())) {
        scan_directory(sessions_dir.get(), stem_prefix.get(), org_id, sessions.get());
    } else {
        scan_entries(sessions_dir.get(), stem_prefix.get(), org_id, sessions.get());
    }
    sort_newest_first(sessions.get());
    return sessions;
}

}  // namespace

const boundary::FunctionSpec load_incomplete_sessions_spec{
    "load_incomplete_sessions", "load_incomplete_sessions",
    "Find incomplete sessions for this org.\n\n"
    "    Returns list of session dicts (newest-first), each with:\n"
    "        path, org_id, phase, saved_at, state\n"
    "    Excludes sessions in the archive directory and sessions marked complete.\n"
    "    ",
    "list[dict[str, Any]]", {Param{"org_id", "str", Conv::Str}}, load_incomplete_sessions};

}  // namespace waymark
