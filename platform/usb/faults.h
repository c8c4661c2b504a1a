// Faults a test injects into one device's traffic. A fault matches requests by kind and endpoint
// and applies to the nth matching request after it was added (and `count` of them in a row).
#pragma once

#include <usb.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "device_model.h"

namespace emu::usb {

enum class RequestKind {
    Any,
    Control,  // every control transfer: descriptors, vendor and class requests
    BulkIn,   // bulk and interrupt IN
    BulkOut,  // bulk and interrupt OUT
};

struct Fault {
    enum class Action {
        Fail,    // reaches the bus and completes with `status`, nothing moved (a halting status halts the pipe)
        Drop,    // never reaches the device and never completes: only cancel, abort or unplug ends it
        Delay,   // runs as usual; its completion comes `delay` later
        Unplug,  // the device is unplugged when the request reaches the bus
    };

    RequestKind kind = RequestKind::Any;
    int endpoint = -1;       // the endpoint address it must go to (0 for control), -1: any
    uint64_t nth = 1;        // 1: the next matching request
    uint64_t count = 1;      // 0: every matching request from the nth on
    Action action = Action::Fail;
    USBD_STATUS status = USBD_STATUS_XACT_ERROR;
    MachineTime delay = 0;

    static Fault FailNth(RequestKind kind, uint64_t nth, USBD_STATUS status);
    static Fault DropNext(RequestKind kind);
    static Fault DelayNext(RequestKind kind, MachineTime delay);
    static Fault UnplugAt(RequestKind kind, uint64_t nth);
};

class FaultPlan {
public:
    void Add(const Fault& fault);
    void Clear();
    // Counts a request against every fault it matches and returns the first that applies to it.
    std::optional<Fault> Take(RequestKind kind, uint8_t endpoint);

private:
    struct Entry {
        Fault fault;
        uint64_t seen = 0;
    };
    std::vector<Entry> m_entries;
};

}  // namespace emu::usb
