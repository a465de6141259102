// Durable file operations for session files.
//
// A session file is the only copy of a run's state, so it is never written in
// place: the content goes to a temporary file in the same directory (a hidden
// name that does not end in ".json", so the listing never offers it), is
// flushed to disk, and then takes the final name in one rename.  Where no
// temporary file can be made the update is refused and the file stays as it
// was.  New files and archive moves never replace a file that already has the
// name.
//
// Session files hold a company's interview answers: a new one is private to
// its owner (0600, narrowed by the umask), and a temporary file is created no
// more open than the file it becomes and has its final mode before its first
// byte.
//
// Every system call here can block on the file system, so the work runs with
// the interpreter's lock released and its errors are raised once the lock is
// held again.
#include "waymark/waymark.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace waymark {
namespace {

using boundary::Ref;

constexpr mode_t private_file = 0600;

// What went wrong, kept until the interpreter's lock is held again.
struct Failure {
    int error = 0;
    std::string filename, filename2;
    const char* text = nullptr;  // the system's own text when nullptr

    explicit operator bool() const { return error != 0; }
};

[[noreturn]] void raise_failure(const Failure& failure) {
    raise_os_error(failure.error, failure.filename, failure.filename2, failure.text);
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A private name next to `path`: "<directory>/.<name>.<purpose>-<pid>-"; a
// counter shared by the threads of the process completes it.
std::string private_stem(const std::string& directory, const std::string& name, const char* purpose) {
    return directory + "/." + name.substr(0, 96) + "." + purpose + "-" + std::to_string(::getpid()) + "-";
}

std::string next_private_name(const std::string& stem) {
    static std::atomic<unsigned long> counter{0};
    return stem + std::to_string(++counter);
}

// 0 on success, else the errno of the failing write.
int write_all(int fd, std::string_view data) {
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

int sync_and_close(int fd) {
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

// So that a rename survives a power loss too; file systems that cannot sync
// a directory are left as they are.
void sync_directory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The replaced file's permissions; its owner too where we may set it.
int keep_attributes(int fd, const struct stat& original) {
    if (::fchmod(fd, original.st_mode & 07777) != 0) return errno;
    struct stat now;
    if (::fstat(fd, &now) == 0 && (now.st_uid != original.st_uid || now.st_gid != original.st_gid)) {
        if (::fchown(fd, original.st_uid, original.st_gid) == 0) {
            ::fchmod(fd, original.st_mode & 07777);  // chown clears set-id bits
        }
    }
    return 0;
}

// Creates a file of a private name next to `name` in `directory`
// exclusively, with `mode`.  A directory we may not add to refuses with its
// own error.
Failure create_private(const std::string& directory, const std::string& name, mode_t mode, int& fd,
                       std::string& path) {
    const std::string stem = private_stem(directory, name, "tmp");
    std::string first;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        path = next_private_name(stem);
        if (first.empty()) first = path;
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) return {};
        if (errno != EEXIST) return {errno, directory};
    }
    return {EEXIST, first, path, "no free temporary file name"};
}

// Writes `data` durably to a new temporary file in `directory`, which has
// the attributes of `keep` (when given) before its first byte; `path` names
// it on success.
Failure write_temporary(const std::string& directory, const std::string& name, std::string_view data,
                        const struct stat* keep, std::string& path) {
    int fd = -1;
    // Owner bits only: never more open than the final mode.
    const mode_t mode = keep ? (keep->st_mode & private_file) : private_file;
    if (Failure failure = create_private(directory, name, mode, fd, path)) {
        path.clear();
        return failure;
    }
    int error = keep ? keep_attributes(fd, *keep) : 0;
    if (error == 0) error = write_all(fd, data);
    const int closing = sync_and_close(fd);
    if (error == 0) error = closing;
    if (error != 0) {
        ::unlink(path.c_str());
        path.clear();
        return {error};
    }
    return {};
}

// The file a path names, following symbolic links.
std::string resolve_link(const std::string& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    std::string resolved = real_path(path);
    return resolved.empty() ? path : resolved;  // empty: a dangling link, written as a new file at its own name
}

// The plain write a text-mode open would do, for a device or a pipe: there
// is no stored copy to lose.
Failure write_to_special_file(const std::string& path, std::string_view data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, private_file);
    if (fd < 0) return {errno, path};
    int error = write_all(fd, data);
    if (::close(fd) != 0 && error == 0) error = errno;
    return {error};
}

Failure replace_unlocked(const std::string& path, std::string_view data) {
    const std::string real = resolve_link(path);
    struct stat info;
    const bool exists = ::stat(real.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) return {EISDIR, path};
    if (exists && !S_ISREG(info.st_mode)) return write_to_special_file(path, data);
    // A file we may not write stays as it is, as an open for writing would refuse.
    if (exists && ::faccessat(AT_FDCWD, real.c_str(), W_OK, AT_EACCESS) != 0) return {errno, path};
    const std::string directory = directory_of(real);
    std::string temporary;
    if (Failure failure = write_temporary(directory, base_name(real), data, exists ? &info : nullptr, temporary)) {
        return failure;
    }
    if (::rename(temporary.c_str(), real.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return {error, path};
    }
    sync_directory(directory);
    return {};
}

// Creates `path` exclusively as a placeholder: the last resort where a file
// system supports neither a no-replace rename nor hard links.
int reserve_name(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, private_file);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

bool unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP || error == EPERM ||
           error == EMLINK;
}

// rename() that fails with EEXIST instead of replacing; 0 or an errno.
int rename_without_replacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (!unsupported(errno)) return errno;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (!unsupported(errno)) return errno;
    if (const int error = reserve_name(to)) return error;
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(to.c_str());
    return error;
}

Failure copy_link(const std::string& source, const struct stat& info, const std::string& destination) {
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
    if (length < 0) return {errno, source};
    target.resize(static_cast<std::size_t>(length));
    if (::symlink(target.c_str(), destination.c_str()) != 0) return {errno, destination};
    return {};
}

int copy_content(int in, int out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return 0;
        if (const int error = write_all(out, std::string_view(buffer, static_cast<std::size_t>(got)))) return error;
    }
}

// A copy that never replaces `destination` (EEXIST), with the source's
// permissions (before its first byte) and times, as shutil.copy2 keeps them.
// A symbolic link is copied as a link, as shutil.move does.
Failure copy_without_replacing(const std::string& source, const std::string& destination) {
    struct stat info;
    if (::lstat(source.c_str(), &info) != 0) return {errno, source};
    if (S_ISLNK(info.st_mode)) return copy_link(source, info, destination);
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return {errno, source};
    const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & private_file);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return {error, destination};
    }
    int error = ::fchmod(out, info.st_mode & 07777) == 0 ? 0 : errno;
    if (error == 0) error = copy_content(in, out);
    ::close(in);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (error == 0 && ::futimens(out, times) != 0) error = errno;
    const int closing = sync_and_close(out);
    if (error == 0) error = closing;
    if (error != 0) {
        ::unlink(destination.c_str());
        return {error};
    }
    return {};
}

// Moves `from` to `destination`, across file systems too; EEXIST when the
// name is taken.
Failure move_unlocked(const std::string& from, const std::string& destination) {
    const int error = rename_without_replacing(from, destination);
    if (error == 0) return {};
    if (error != EXDEV) return {error, destination};
    if (Failure failure = copy_without_replacing(from, destination)) return failure;
    if (::unlink(from.c_str()) != 0) return {errno, from};
    return {};
}

// Takes `source` away under a private name in its own directory; ENOENT
// when another process took it first.
Failure claim_unlocked(const std::string& source, std::string& claimed) {
    const std::string stem = private_stem(directory_of(source), base_name(source), "archiving");
    int error = EEXIST;
    for (int attempt = 0; attempt < 1000 && error == EEXIST; ++attempt) {
        claimed = next_private_name(stem);
        error = rename_without_replacing(source, claimed);
        if (error == 0) return {};
    }
    claimed.clear();
    return {error, source};
}

}  // namespace

[[noreturn]] void raise_os_error(int error, const char* text, PyObject* filename, PyObject* filename2) {
    Ref exception = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isOOO", error, text ? text : std::strerror(error),
                                                     filename ? filename : Py_None, Py_None,
                                                     filename2 ? filename2 : Py_None));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    boundary::throw_error();
}

[[noreturn]] void raise_os_error(int error, const std::string& filename, const std::string& filename2,
                                 const char* text) {
    const auto decoded = [](const std::string& name) {
        return name.empty() ? Ref()
                            : Ref::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(),
                                                                          static_cast<Py_ssize_t>(name.size())));
    };
    Ref first = decoded(filename), second = decoded(filename2);
    raise_os_error(error, text, first.get(), second.get());
}

std::string fs_path(PyObject* path_like) {
    Ref path = Ref::steal(PyOS_FSPath(path_like));
    Ref bytes = PyBytes_Check(path.get()) ? path : Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    std::string text(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (text.find('\0') != std::string::npos) boundary::raise(PyExc_ValueError, "embedded null byte");
    return text;
}

std::string real_path(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string resolved(real);
    std::free(real);
    return resolved;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void replace_file(const std::string& path, std::string_view data) {
    if (const Failure failure = without_gil([&] { return replace_unlocked(path, data); })) raise_failure(failure);
}

NewFile::NewFile(const std::string& first_path, std::string_view data) : directory_(directory_of(first_path)) {
    const Failure failure = without_gil([&] { return write_temporary(directory_, "session", data, nullptr, temp_); });
    if (failure) raise_failure(failure);
}

// The destructors' file work keeps the GIL (see without_gil); each is one
// call on a name in a directory just written to.
NewFile::~NewFile() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool NewFile::publish(const std::string& path) {
    const int error = without_gil([&] {
        const int renamed = rename_without_replacing(temp_, path);
        if (renamed == 0) sync_directory(directory_);
        return renamed;
    });
    if (error == EEXIST) return false;
    if (error != 0) raise_os_error(error, path);
    temp_.clear();
    return true;
}

ArchiveMove::ArchiveMove(const std::string& source) : source_(source) {
    const Failure failure = without_gil([&] { return claim_unlocked(source_, claimed_); });
    if (failure) raise_failure(failure);
}

ArchiveMove::~ArchiveMove() {
    // Not placed: back under its own name, unless a new file took that name
    // meanwhile (then it stays under the private name, not lost).
    if (!claimed_.empty()) rename_without_replacing(claimed_, source_);
}

bool ArchiveMove::place(const std::string& destination) {
    const Failure failure = without_gil([&] {
        Failure moved = move_unlocked(claimed_, destination);
        if (!moved) {
            sync_directory(directory_of(destination));
            sync_directory(directory_of(source_));
        }
        return moved;
    });
    if (failure.error == EEXIST && failure.filename == destination) return false;
    if (failure) raise_failure(failure);
    claimed_.clear();
    return true;
}

}  // namespace waymark
