// Durable file operations for session files.
//
// A session file is the only copy of a run's state, so it is never written in
// place: the content goes to a temporary file in the same directory (a hidden
// name that does not end in ".json", so the listing never offers it), is
// flushed to disk, and then takes the final name in one rename.  New files
// and archive moves never replace a file that already has the name.
#include "waymark/waymark.hpp"

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

[[noreturn]] void raise_os_error(int error, const std::string& filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename.c_str());
    boundary::throw_error();
}

[[noreturn]] void raise_os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    boundary::throw_error();
}

[[noreturn]] void raise_os_error(int error, const std::string& source, const std::string& destination) {
    Ref first = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(source.data(), static_cast<Py_ssize_t>(source.size())));
    Ref second =
        Ref::steal(PyUnicode_DecodeFSDefaultAndSize(destination.data(), static_cast<Py_ssize_t>(destination.size())));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first.get(), second.get());
    boundary::throw_error();
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Lets other threads run while this thread waits on the disk, as the
// interpreter's own file objects do; nothing in its scope touches Python.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// 0 on success, else the errno of the failing write.
int write_all(int fd, std::string_view data) {
    const GilReleased released;
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
    const GilReleased released;
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

// So that a rename survives a power loss too; file systems that cannot sync
// a directory are left as they are.
void sync_directory(const std::string& directory) {
    const GilReleased released;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Creates "<directory>/.<name>.tmp-<pid>-<n>" exclusively; -1 with errno set.
int create_temporary(const std::string& directory, const std::string& name, std::string& path) {
    static unsigned long counter = 0;
    const std::string stem = directory + "/." + name.substr(0, 96) + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        path = stem + std::to_string(++counter);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A temporary file holding `data`, durably written; removed unless it was
// given its final name.
class Temporary {
public:
    // Throws with OSError set (`target` names the file being written).
    Temporary(const std::string& directory, const std::string& target, std::string_view data, const struct stat* keep) {
        const int fd = create_temporary(directory, base_name(target), path_);
        if (fd < 0) {
            error_ = errno;
            path_.clear();
            return;
        }
        int error = write_all(fd, data);
        if (error == 0 && keep) error = keep_attributes(fd, *keep);
        const int closing = sync_and_close(fd);
        if (error == 0) error = closing;
        if (error != 0) {
            ::unlink(path_.c_str());
            raise_os_error(error);
        }
    }
    ~Temporary() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    int creation_error() const { return error_; }
    const std::string& path() const { return path_; }
    void published() { path_.clear(); }

private:
    // The replaced file's permissions; its owner too where we may set it.
    static int keep_attributes(int fd, const struct stat& original) {
        if (::fchmod(fd, original.st_mode & 07777) != 0) return errno;
        struct stat now;
        if (::fstat(fd, &now) == 0 && (now.st_uid != original.st_uid || now.st_gid != original.st_gid)) {
            if (::fchown(fd, original.st_uid, original.st_gid) == 0) {
                ::fchmod(fd, original.st_mode & 07777);  // chown clears set-id bits
            }
        }
        return 0;
    }

    std::string path_;
    int error_ = 0;
};

// The file a path names, following symbolic links.
std::string resolve_link(const std::string& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;  // a dangling link: written as a new file at its own name
    std::string resolved(real);
    std::free(real);
    return resolved;
}

// The plain write a text-mode open would do (devices, pipes, and files in a
// directory we may not create entries in).
void write_in_place(const std::string& path, std::string_view data, bool regular) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) raise_os_error(errno, path);
    int error = write_all(fd, data);
    const int closing = regular ? sync_and_close(fd) : (::close(fd) == 0 ? 0 : errno);
    if (error == 0) error = closing;
    if (error != 0) raise_os_error(error);
}

// Creates `path` exclusively as a placeholder: the last resort where a file
// system supports neither a no-replace rename nor hard links.
int reserve_name(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

// A copy that never replaces `destination`, with the source's permissions
// and times (as shutil.copy2 keeps them); 0, EEXIST or throws.
int copy_without_replacing(const std::string& source, const std::string& destination) {
    struct stat info;
    if (::lstat(source.c_str(), &info) != 0) raise_os_error(errno, source);
    if (S_ISLNK(info.st_mode)) {  // moved as a link, as shutil.move does
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
        if (length < 0) raise_os_error(errno, source);
        target.resize(static_cast<std::size_t>(length));
        if (::symlink(target.c_str(), destination.c_str()) != 0) {
            if (errno == EEXIST) return EEXIST;
            raise_os_error(errno, destination);
        }
        return 0;
    }
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) raise_os_error(errno, source);
    const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        if (error == EEXIST) return EEXIST;
        raise_os_error(error, destination);
    }
    int error = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) error = errno;
            break;
        }
        if ((error = write_all(out, std::string_view(buffer, static_cast<std::size_t>(got)))) != 0) break;
    }
    ::close(in);
    if (error == 0 && ::fchmod(out, info.st_mode & 07777) != 0) error = errno;
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (error == 0 && ::futimens(out, times) != 0) error = errno;
    const int closing = sync_and_close(out);
    if (error == 0) error = closing;
    if (error != 0) {
        ::unlink(destination.c_str());
        raise_os_error(error);
    }
    return 0;
}

}  // namespace

std::string fs_path(PyObject* path_like) {
    Ref path = Ref::steal(PyOS_FSPath(path_like));
    Ref bytes = PyBytes_Check(path.get()) ? path : Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    std::string text(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (text.find('\0') != std::string::npos) boundary::raise(PyExc_ValueError, "embedded null byte");
    return text;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void replace_file(const std::string& path, std::string_view data) {
    const std::string real = resolve_link(path);
    struct stat info;
    const bool exists = ::stat(real.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) raise_os_error(EISDIR, path);
    if (exists && !S_ISREG(info.st_mode)) return write_in_place(path, data, false);
    // A file we may not write stays as it is, as an open for writing would refuse.
    if (exists && ::faccessat(AT_FDCWD, real.c_str(), W_OK, AT_EACCESS) != 0) raise_os_error(errno, path);
    const std::string directory = directory_of(real);
    Temporary temporary(directory, real, data, exists ? &info : nullptr);
    if (const int error = temporary.creation_error()) {
        // A writable file in a directory we may not add to: keep the update.
        if ((error == EACCES || error == EPERM) && exists) return write_in_place(path, data, true);
        raise_os_error(error, path);
    }
    if (::rename(temporary.path().c_str(), real.c_str()) != 0) raise_os_error(errno, path);
    temporary.published();
    sync_directory(directory);
}

NewFile::NewFile(const std::string& first_path, std::string_view data) : directory_(directory_of(first_path)) {
    Temporary temporary(directory_, "session", data, nullptr);
    if (const int error = temporary.creation_error()) raise_os_error(error, first_path);
    temp_ = temporary.path();
    temporary.published();  // ours to remove from here on
}

NewFile::~NewFile() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool NewFile::publish(const std::string& path) {
    const int error = rename_without_replacing(temp_, path);
    if (error == EEXIST) return false;
    if (error != 0) raise_os_error(error, path);
    temp_.clear();
    sync_directory(directory_);
    return true;
}

bool move_without_replacing(const std::string& source, const std::string& destination) {
    int error = rename_without_replacing(source, destination);
    if (error == EXDEV) {
        error = copy_without_replacing(source, destination);
        if (error == 0 && ::unlink(source.c_str()) != 0) raise_os_error(errno, source);
    }
    if (error == EEXIST) return false;
    if (error != 0) raise_os_error(error, source, destination);
    sync_directory(directory_of(destination));
    sync_directory(directory_of(source));
    return true;
}

}  // namespace waymark
