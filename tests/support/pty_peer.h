// The far end of a real pseudo-terminal, registered as a COM port in a
// private port directory: tests script exactly what the "adapter" sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_message.h"
#include "frame_codec.h"
#include "port_catalog.h"

namespace tavrol::test {

class PtyPeer {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Opens the pseudo-terminal and links it as COM`com` in a private port
    // directory that only the peer's catalog reads.
    explicit PtyPeer(int com = 7);
    ~PtyPeer();

    int Com() const { return com_; }
    const std::string& SlavePath() const { return slavePath_; }
    // The ports this peer shows: give it to the link under test.
    PortCatalog& Catalog() { return *catalog_; }

    // Runs on the peer's thread for every frame that arrives.
    void OnFrame(std::function<void(PtyPeer&, const Bytes&)> handler);

    std::vector<Bytes> Frames();
    bool WaitFrames(std::size_t count, int timeoutMs = 3000);
    void Send(const Bytes& raw);
    void SendMessage(const CanMessage& m);
    void SendPayload(const Bytes& payload);
    // The pseudo-terminal hangs up: every descriptor of the peer closes.
    void HangUp();

private:
    void Run();

    int com_;
    std::string directory_;
    std::unique_ptr<PortCatalog> catalog_;
    std::string slavePath_;
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> frames_;
    std::function<void(PtyPeer&, const Bytes&)> handler_;
    Bytes decodeBuffer_;
    FrameDecoder decoder_;
    std::thread thread_;
};

// A configuration reply as the adapter sends it.
CanMessage ConfigReply(std::uint32_t id, std::initializer_list<std::uint8_t> data);

}  // namespace tavrol::test
