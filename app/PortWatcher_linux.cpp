#include "PortWatcher.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>

#include <cerrno>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Entries coming and going; a directory replaced or removed as a whole.
constexpr std::uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_ONLYDIR;

// udev creates a device node and then its links and permissions; one look
// after the burst is enough.
constexpr int kSettleMs = 50;

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `path` itself when it is a directory, else its nearest existing parent.
std::string NearestExisting(std::string path) {
    while (!path.empty() && !IsDirectory(path)) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return ".";
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return path;
}

}  // namespace

PortWatcher::PortWatcher(std::vector<std::string> directories, QObject* parent)
    : QObject(parent), directories_(std::move(directories)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    WatchDirectories();
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PortWatcher::ReadEvents);
}

PortWatcher::~PortWatcher() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

void PortWatcher::WatchDirectories() {
    // Adding a watch that exists already changes nothing, so every directory
    // is simply watched again after each change: a directory that has just
    // appeared is then watched itself instead of its parent.
    for (const std::string& directory : directories_) {
        const std::string existing = NearestExisting(directory);
        if (!existing.empty()) ::inotify_add_watch(fd_, existing.c_str(), kEntryEvents);
    }
}

void PortWatcher::ReadEvents() {
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (!any) return;
    WatchDirectories();
    if (signalPending_) return;
    signalPending_ = true;
    QTimer::singleShot(kSettleMs, this, [this] {
        signalPending_ = false;
        emit Changed();
    });
}
