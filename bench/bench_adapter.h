// The virtual adapter on a pseudo-terminal, registered as a COM port in a
// private port directory that the link's port lookup is pointed at.
#pragma once

#include <memory>
#include <string>

#include "bench.h"
#include "port_enum.h"
#include "virtual_adapter.h"

namespace tavrol::bench {

class AdapterOnPty {
public:
    explicit AdapterOnPty(sim::Faults faults = {});
    ~AdapterOnPty();
    AdapterOnPty(const AdapterOnPty&) = delete;
    AdapterOnPty& operator=(const AdapterOnPty&) = delete;

    sim::VirtualAdapter& Adapter() { return *adapter_; }
    std::string PortDirectory() const;
    // The private directory the port directory lives in.
    const std::string& Root() const { return dir_.Path(); }

private:
    TempDir dir_;
    PortSources saved_;
    std::unique_ptr<sim::VirtualAdapter> adapter_;
};

}  // namespace tavrol::bench
