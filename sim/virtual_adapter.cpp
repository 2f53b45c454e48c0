#include "virtual_adapter.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "adapter_impl.h"
#include "com_link.h"
#include "port_directory.h"

namespace tavrol::sim {

namespace {

std::string ErrnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

}  // namespace

bool VirtualAdapter::Impl::OpenTerminal(std::string* error) {
    if (!terminal.Open(error)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    slavePath = terminal.SlavePath();
    return true;
}

bool VirtualAdapter::Impl::RegisterLink(int wanted, std::string* error) {
    std::string directory, target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        directory = portDirectory;
        target = slavePath;
    }
    ComLink link;
    if (!RegisterComLink(directory, wanted, target, &link, error)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    com = link.number;
    linkPath = link.path;
    return true;
}

bool VirtualAdapter::Impl::RemoveLink() {
    std::string path, target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        path = linkPath;
        target = slavePath;
    }
    return RemoveOwnLink(path, target);
}

bool VirtualAdapter::Impl::StartThread(std::string* error) {
    stopThread.store(false);
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        SetError(error, std::string("cannot start the adapter's thread: ") + e.what());
        return false;
    }
    return true;
}

void VirtualAdapter::Impl::StopThread() {
    stopThread.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        Wake();
    }
    if (thread.joinable()) thread.join();
}

void VirtualAdapter::Impl::UnplugLocked(const char* why) {
    stopReason.store(why);
    StopThread();
    terminal.Close();
    RemoveLink();
    std::lock_guard<std::mutex> lock(mutex);
    plugged = false;
}

VirtualAdapter::VirtualAdapter(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualAdapter::~VirtualAdapter() { Stop(); }

bool VirtualAdapter::Start(std::string* error) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (IsRunning()) {
        SetError(error, "the adapter is already running");
        return false;
    }
    const std::string directory =
        d.options.portDirectory.empty() ? DefaultPortDirectory() : d.options.portDirectory;
    if (!EnsurePortDirectory(directory, error)) return false;
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        SetError(error, ErrnoText("eventfd", errno));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.portDirectory = directory;
        d.wakeFd = wake;
    }
    auto fail = [&] {
        d.terminal.Close();
        std::lock_guard<std::mutex> lock(d.mutex);
        ::close(d.wakeFd);
        d.wakeFd = -1;
        return false;
    };
    if (!d.OpenTerminal(error)) return fail();
    if (!d.RegisterLink(d.options.com, error)) return fail();
    if (!d.StartThread(error)) {
        d.RemoveLink();
        return fail();
    }
    std::lock_guard<std::mutex> lock(d.mutex);
    d.running = true;
    d.plugged = true;
    return true;
}

void VirtualAdapter::Stop() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsRunning()) return;
    if (IsPlugged()) d.UnplugLocked("stopped");
    std::lock_guard<std::mutex> lock(d.mutex);
    ::close(d.wakeFd);
    d.wakeFd = -1;
    d.running = false;
}

bool VirtualAdapter::IsRunning() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->running;
}

bool VirtualAdapter::IsPlugged() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->plugged;
}

int VirtualAdapter::ComNumber() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->com;
}

std::string VirtualAdapter::SlavePath() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->slavePath;
}

std::string VirtualAdapter::LinkPath() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->linkPath;
}

Registers VirtualAdapter::GetRegisters() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->registers;
}

void VirtualAdapter::SetRegisters(const Registers& registers) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->registers = registers;
}

void VirtualAdapter::SetFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
    impl_->Wake();
}

Faults VirtualAdapter::GetFaults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults;
}

std::vector<Exchange> VirtualAdapter::Log() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

void VirtualAdapter::ClearLog() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
    ++impl_->logGeneration;
}

bool VirtualAdapter::WaitForRequests(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return impl_->log.size() >= count; });
}

void VirtualAdapter::Unplug() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsPlugged()) return;
    d.UnplugLocked("unplugged");
    d.Emit("unplugged");
}

bool VirtualAdapter::Replug(std::string* error) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsRunning()) {
        SetError(error, "the adapter is not running");
        return false;
    }
    if (IsPlugged()) d.UnplugLocked("unplugged");
    int com;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        com = d.com;
        d.registers.serialRate = d.registers.pendingSerialRate;
    }
    if (!d.OpenTerminal(error)) return false;
    if (!d.RegisterLink(com, error)) {
        d.terminal.Close();
        return false;
    }
    if (!d.StartThread(error)) {
        d.RemoveLink();
        d.terminal.Close();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.plugged = true;
    }
    d.Emit("plugged in again on COM" + std::to_string(com) + " (" + SlavePath() + "), serial rate " +
           std::to_string(GetRegisters().serialRate));
    return true;
}

void VirtualAdapter::RemoveComLink() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsPlugged()) return;
    if (d.RemoveLink()) d.Emit("link " + LinkPath() + " removed");
}

bool VirtualAdapter::RestoreComLink(std::string* error) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsPlugged()) {
        SetError(error, IsRunning() ? "the adapter is unplugged" : "the adapter is not running");
        return false;
    }
    std::string path, target;
    int com;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        path = d.linkPath;
        target = d.slavePath;
        com = d.com;
    }
    if (ReadLinkText(path) == target) return true;
    std::string reason;
    if (CreatePortLink(path, target, &reason) != LinkResult::Created) {
        SetError(error, "COM" + std::to_string(com) + ": " + reason);
        return false;
    }
    d.Emit("link " + path + " restored (" + target + ")");
    return true;
}

void VirtualAdapter::SetLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->sink = std::move(sink);
}

}  // namespace tavrol::sim
