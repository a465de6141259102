// What the files of the session module share: the module record, the
// interpreter objects its fast paths compare against, and the declarations
// of its functions and helpers.
#pragma once

#include "boundary/function.hpp"
#include "boundary/module.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace waymark {

extern boundary::ModuleRecord module;

// Module-level names, looked up in the module namespace at each use.
extern boundary::Name n_sessions_dir, n_archive_dir, n_path, n_datetime, n_json, n_shutil, n_ensure_dirs,
    n_safe_org_id;
// Session members and the path methods both the store and the listing use.
extern boundary::Name n_org_id, n_phase, n_saved_at, n_state, n_is_file, n_suffix, n_stem;

// store.cpp: json.loads(text) through the module's `json`, and
// path.read_text(encoding="utf-8") parsed so; an empty Ref when a step
// raises an Exception (the file is passed over).
boundary::Ref parse_session(PyObject* text);
boundary::Ref read_session(PyObject* path);

// The interpreter's own objects, captured when the module executes (kept for
// the process: one interpreter per process).  A C++ fast path stands in for
// one of them only while the module still reaches the captured object.
struct Originals {
    PyObject* json_module = nullptr;
    PyObject* json_dumps = nullptr;
    PyObject* json_encoder_class = nullptr;
    PyObject* encoder_init = nullptr;
    PyObject* encoder_encode = nullptr;
    PyObject* encoder_iterencode = nullptr;
    PyObject* key_separator = nullptr;  // JSONEncoder.key_separator, which __init__ leaves to the class
    PyObject* encoder_module = nullptr;
    PyObject* make_iterencode = nullptr;
    PyObject* encode_basestring_ascii = nullptr;
    PyObject* c_make_encoder = nullptr;  // None where the interpreter has no C encoder
    PyObject* infinity = nullptr;
    PyObject* negative_infinity = nullptr;
    PyObject* int_repr = nullptr;    // int.__repr__
    PyObject* float_repr = nullptr;  // float.__repr__
    PyObject* shutil_module = nullptr;
    PyObject* shutil_move = nullptr;
    PyObject* posix_path = nullptr;  // pathlib.PosixPath
    static constexpr int path_method_count = 8;
    PyObject* path_methods[path_method_count] = {};
};
extern Originals originals;

void capture_originals();                           // module.cpp, once at execution
bool is_interpreter_json(PyObject* json_module);    // json.dumps is still the interpreter's own
bool is_interpreter_shutil(PyObject* shutil_module);
bool is_interpreter_path(PyObject* path);           // an exact pathlib.PosixPath, methods untouched

// A growable byte buffer filled through raw pointers: no zero-filling and
// one capacity check per piece written.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer() { std::free(data_); }
    OutputBuffer(OutputBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // Where `count` more bytes may be written; advance_to() marks them used.
    char* room(std::size_t count) {
        if (capacity_ - size_ < count) grow(count);
        return data_ + size_;
    }
    void advance_to(const char* end) { size_ = static_cast<std::size_t>(end - data_); }
    void append(const char* bytes, std::size_t count) {
        std::memcpy(room(count), bytes, count);
        size_ += count;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    void push(char c) {
        *room(1) = c;
        ++size_;
    }
    std::string_view view() const { return {data_, size_}; }
    void clear() { size_ = 0; }

private:
    void grow(std::size_t count);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// json_writer.cpp: appends exactly what json.dumps(obj, indent=2, default=str)
// returns (ASCII only), raising what the interpreter's encoder raises.
void write_indented_json(PyObject* obj, OutputBuffer& out);
// The same for the C encoder of 3.13 on, for plain documents only (exact
// built-in types, no circular reference, nesting well within its limit):
// false, with `out` emptied, for any other document.
bool write_plain_indented_json(PyObject* obj, OutputBuffer& out);

// Serialises a session payload with the module's `json` (fast path while it
// is the interpreter's own) and returns the UTF-8 bytes to write.
OutputBuffer serialise_session(PyObject* payload);

// files.cpp: durable file operations on file-system paths (bytes).
std::string fs_path(PyObject* path_like);  // os.fspath + encoding, "embedded null byte" refused
std::string directory_of(const std::string& path);
std::string real_path(const std::string& path);  // realpath(3), or empty when it fails

// Runs `work`, which may not touch Python, with the GIL released, so other
// threads run while this one waits on the file system (a FIFO that blocks an
// open, a slow network share), as the interpreter's own file functions do.
// The GIL is taken back here and not in a destructor: taking it back may end
// the thread (the interpreter is finalising), and a destructor could not let
// that unwinding pass (boundary/ref.hpp).  Destructors therefore keep the GIL.
template <class Work>
CATCHES_THREAD_EXIT auto without_gil(Work&& work) {
    using Result = decltype(work());
    PyThreadState* const state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result{};
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            result.emplace(work());
        }
    } catch (const boundary::ThreadExit&) {
        throw;  // the thread is being ended: there is no GIL to take back
    } catch (...) {
        failure = std::current_exception();  // std::bad_alloc, thrown on with the GIL held again
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return *std::move(result);
}

// The OSError subclass that `error` selects, with `text` (the system's own
// when nullptr) and up to two file names (nullptr for none).
[[noreturn]] void raise_os_error(int error, const char* text, PyObject* filename, PyObject* filename2 = nullptr);
// The same with file-system names (bytes, decoded as the interpreter does; "" for none).
[[noreturn]] void raise_os_error(int error, const std::string& filename = {}, const std::string& filename2 = {},
                                 const char* text = nullptr);

// Replaces the whole content of the file at `path` through a temporary file
// and a rename (following a symbolic link, keeping the file's permissions).
void replace_file(const std::string& path, std::string_view data);
// A new file, written completely (next to `first_path`) before it appears
// under its final name.
class NewFile {
public:
    NewFile(const std::string& first_path, std::string_view data);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    // Gives the content the name `path` unless that name is taken (false).
    bool publish(const std::string& path);

private:
    std::string directory_;
    std::string temp_;
};
// Moves one file into the archive, never over a file that is there.  The
// source is first taken away under a private name in its own directory, so of
// several processes archiving it exactly one goes on; the others get the
// FileNotFoundError of the vanished source.  Unless placed, it goes back.
class ArchiveMove {
public:
    explicit ArchiveMove(const std::string& source);
    ~ArchiveMove();
    ArchiveMove(const ArchiveMove&) = delete;
    ArchiveMove& operator=(const ArchiveMove&) = delete;
    // Moves the file to `destination` unless that name is taken (false).
    bool place(const std::string& destination);

private:
    std::string source_;
    std::string claimed_;
};

// Function declarations, one concern per file.
extern const boundary::FunctionSpec ensure_dirs_spec;               // store.cpp
extern const boundary::FunctionSpec safe_org_id_spec;
extern const boundary::FunctionSpec save_state_spec;
extern const boundary::FunctionSpec mark_complete_spec;
extern const boundary::FunctionSpec archive_session_spec;
extern const boundary::FunctionSpec load_incomplete_sessions_spec;  // listing.cpp
extern const boundary::FunctionSpec build_serialisable_state_spec;  // state.cpp

}  // namespace waymark
