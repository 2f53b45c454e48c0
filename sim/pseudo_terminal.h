// The pseudo-terminal the virtual adapter plays on: the adapter has the
// master, the tool opens the slave.
#pragma once

#include <string>

namespace tavrol::sim {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens a new pair: the master non-blocking, and a descriptor on the
    // slave held for as long as it is open, so the tool may close and
    // reopen the port without the master seeing a hang-up, and the line
    // keeps its settings in between. false with a reason in `error`.
    bool Open(std::string* error);
    // The master first, so the tool sees the hang-up right away.
    void Close();

    int Master() const { return master_; }
    int Slave() const { return slave_; }
    const std::string& SlavePath() const { return slavePath_; }  // of the last Open

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace tavrol::sim
