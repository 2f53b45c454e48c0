#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>


namespace tavrol::test {

namespace fs = std::filesystem;

PtyPeer::PtyPeer(int com) : com_(com), decodeBuffer_(8194), decoder_(decodeBuffer_.data(), 8194) {
    char tmpl[] = "/tmp/tavrol-peer-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = tmpl;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    slavePath_ = ptsname(master_);
    // Holding the slave keeps the master from seeing a hang-up while the
    // link under test closes and reopens it.
    slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("cannot open pty slave");
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    const std::string ports = directory_ + "/ports";
    mkdir(ports.c_str(), 0700);
    fs::create_symlink(slavePath_, ports + "/COM" + std::to_string(com));
    catalog_ = std::make_unique<PortCatalog>(PortSources{ports, directory_ + "/no-sys", directory_ + "/no-dev"});
    thread_ = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    std::error_code ec;
    fs::remove_all(directory_, ec);
}

void PtyPeer::OnFrame(std::function<void(PtyPeer&, const Bytes&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void PtyPeer::Run() {
    std::uint8_t chunk[256];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (master_ < 0 || poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
            if (master_ < 0) usleep(10000);
            continue;
        }
        const ssize_t n = read(master_, chunk, sizeof chunk);
        for (ssize_t i = 0; i < n; ++i) {
            if (decoder_.DecodeByte(chunk[i]) != 1) continue;
            Bytes frame(decoder_.Frame(), decoder_.Frame() + decoder_.FrameLength());
            std::function<void(PtyPeer&, const Bytes&)> handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(frame);
                handler = handler_;
            }
            if (handler) handler(*this, frame);
        }
    }
}

std::vector<PtyPeer::Bytes> PtyPeer::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

bool PtyPeer::WaitFrames(std::size_t count, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 2) {
        if (Frames().size() >= count) return true;
        usleep(2000);
    }
    return Frames().size() >= count;
}

void PtyPeer::Send(const Bytes& raw) {
    if (master_ >= 0 && !raw.empty()) {
        [[maybe_unused]] ssize_t n = write(master_, raw.data(), raw.size());
    }
}

void PtyPeer::SendPayload(const Bytes& payload) {
    Bytes frame(2 * payload.size() + 6);
    frame.resize(EncodeFrame(FramingBytes{}, payload.data(), static_cast<std::uint32_t>(payload.size()),
                             frame.data(), static_cast<std::uint32_t>(frame.size())));
    Send(frame);
}

void PtyPeer::SendMessage(const CanMessage& m) {
    const CanMessageBytes b = ToBytes(m);
    SendPayload(Bytes(b.begin(), b.end()));
}

void PtyPeer::HangUp() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
}

CanMessage ConfigReply(std::uint32_t id, std::initializer_list<std::uint8_t> data) {
    CanMessage m;
    m.Id = id;
    std::size_t i = 0;
    for (std::uint8_t b : data) m.Data[i++] = b;
    m.Dlc = static_cast<std::uint8_t>(data.size());
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    return m;
}

}  // namespace tavrol::test
