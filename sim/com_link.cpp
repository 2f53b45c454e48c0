#include "com_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "port_catalog.h"

namespace tavrol::sim {

namespace {

constexpr int kMaxDefaultCom = 4096;

std::string ErrnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::set<int> ListedNumbers(const std::string& portDirectory) {
    PortSources sources = DefaultPortSources();
    sources.portDirectory = portDirectory;
    std::set<int> shown;
    for (const PortEntry& e : ListSerialPorts(sources)) shown.insert(e.number);
    return shown;
}

// Whether CreatePortLink could take `path`: nothing there, or a link to no
// live device.
bool NameIsFree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISLNK(st.st_mode) && !IsCharDevice(path);
}

}  // namespace

std::string ReadLinkText(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ComLinkPath(const std::string& portDirectory, int number) {
    return portDirectory + "/COM" + std::to_string(number);
}

LinkResult CreatePortLink(const std::string& path, const std::string& target, std::string* reason) {
    if (::symlink(target.c_str(), path.c_str()) == 0) return LinkResult::Created;
    if (errno != EEXIST) {
        *reason = ErrnoText("cannot create " + path, errno);
        return LinkResult::Failed;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        *reason = ErrnoText("cannot inspect " + path, errno);
        return LinkResult::Failed;
    }
    if (!S_ISLNK(st.st_mode)) {
        *reason = path + " exists and is not a link";
        return LinkResult::InUse;
    }
    if (IsCharDevice(path)) {
        *reason = path + " is in use (it points to " + ReadLinkText(path) + ")";
        return LinkResult::InUse;
    }
    // Replace the stale link in one step, so the name never goes missing.
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        *reason = ErrnoText("cannot create " + temporary, errno);
        return LinkResult::Failed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        *reason = ErrnoText("cannot replace " + path, errno);
        ::unlink(temporary.c_str());
        return LinkResult::Failed;
    }
    return LinkResult::Created;
}

bool RemoveOwnLink(const std::string& path, const std::string& target) {
    return !path.empty() && ReadLinkText(path) == target && ::unlink(path.c_str()) == 0;
}

bool RegisterComLink(const std::string& portDirectory, int wanted, const std::string& target, ComLink* link,
                     std::string* error) {
    std::string reason;
    if (wanted > 0) {
        const std::string path = ComLinkPath(portDirectory, wanted);
        if (CreatePortLink(path, target, &reason) != LinkResult::Created) {
            if (error) *error = "COM" + std::to_string(wanted) + ": " + reason;
            return false;
        }
        *link = {wanted, path};
        return true;
    }
    const std::set<int> shown = ListedNumbers(portDirectory);
    for (int n = 1; n <= kMaxDefaultCom; ++n) {
        if (shown.count(n)) continue;
        const std::string path = ComLinkPath(portDirectory, n);
        const LinkResult result = CreatePortLink(path, target, &reason);
        if (result == LinkResult::Created) {
            *link = {n, path};
            return true;
        }
        if (result == LinkResult::Failed) break;
    }
    if (error) *error = reason.empty() ? "no free COM number" : reason;
    return false;
}

int LowestFreeComRun(const std::string& portDirectory, int count) {
    const std::set<int> shown = ListedNumbers(portDirectory);
    int run = 0;
    for (int n = 1; n <= kMaxDefaultCom; ++n) {
        const bool free = !shown.count(n) && NameIsFree(ComLinkPath(portDirectory, n));
        run = free ? run + 1 : 0;
        if (run == count) return n - count + 1;
    }
    return 0;
}

}  // namespace tavrol::sim
