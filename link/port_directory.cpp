#include "port_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavrol {

namespace {

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

bool IsPrivateDirectory(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A parent is safe when nobody but us (or root) can rename entries in it:
// owned by us or root, and either not writable by others or sticky.
bool IsSafeParent(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

std::string ParentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

// Creates `path` with mode 0700 if it is missing.
bool MakeDirectory(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0700) == 0) {
        // The umask can only take bits away, but make the mode exact.
        if (chmod(path.c_str(), 0700) != 0) {
            if (error) *error = ErrnoText("cannot set the mode of", path, errno);
            return false;
        }
        return true;
    }
    if (errno == EEXIST) return true;
    if (error) *error = ErrnoText("cannot create", path, errno);
    return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string DefaultPortDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/tavrol/ports";
    return "/tmp/tavrol-" + std::to_string(geteuid()) + "/ports";
}

bool EnsurePortDirectory(const std::string& directory, std::string* error) {
    if (directory.empty()) {
        if (error) *error = "no port directory given";
        return false;
    }
    const std::string parent = ParentOf(directory);
    if (!MakeDirectory(parent, error)) return false;
    struct stat st {};
    if (lstat(parent.c_str(), &st) != 0) {
        if (error) *error = ErrnoText("cannot examine", parent, errno);
        return false;
    }
    if (!IsSafeParent(st)) {
        if (error) *error = parent + " is not a directory that only its owner can change";
        return false;
    }
    if (!MakeDirectory(directory, error)) return false;
    if (lstat(directory.c_str(), &st) != 0) {
        if (error) *error = ErrnoText("cannot examine", directory, errno);
        return false;
    }
    if (!IsPrivateDirectory(st)) {
        if (error) *error = directory + " is not a private directory of this user";
        return false;
    }
    if (error) error->clear();
    return true;
}

int OpenPortDirectory(const std::string& directory) {
    if (directory.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !IsPrivateDirectory(st)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int ComNumberOfName(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    const char* digits = name + 3;
    const std::size_t length = std::strlen(digits);
    if (length == 0 || length > 9 || digits[0] == '0') return 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (!IsDigit(digits[i])) return 0;
    }
    return std::atoi(digits);
}

}  // namespace tavrol
