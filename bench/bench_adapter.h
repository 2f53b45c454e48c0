// The virtual adapter on a pseudo-terminal, registered as a COM port in a
// private port directory, with the catalog that shows it to a link.
#pragma once

#include <memory>
#include <string>

#include "bench.h"
#include "port_catalog.h"
#include "virtual_adapter.h"

namespace tavrol::bench {

class AdapterOnPty {
public:
    explicit AdapterOnPty(sim::Faults faults = {});
    ~AdapterOnPty();
    AdapterOnPty(const AdapterOnPty&) = delete;
    AdapterOnPty& operator=(const AdapterOnPty&) = delete;

    sim::VirtualAdapter& Adapter() { return *adapter_; }
    // Give it to the link under test.
    PortCatalog& Catalog() { return *catalog_; }
    std::string PortDirectory() const;
    // The private directory the port directory lives in.
    const std::string& Root() const { return dir_.Path(); }

private:
    TempDir dir_;
    std::unique_ptr<PortCatalog> catalog_;
    std::unique_ptr<sim::VirtualAdapter> adapter_;
};

}  // namespace tavrol::bench
