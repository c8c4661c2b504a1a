// What a port's serial line is plugged into: a loopback plug, a null-modem cable to another port,
// or a scripted peer (cable.h, scripted_peer.h). The port tells its far end what it puts on the
// line; the far end drives the port's inputs through the port's line interface (ftdi_port.h).
// Called under ModelLock, at domain time.
#pragma once

#include <cstdint>

#include "device_time.h"
#include "line_signals.h"

namespace emu::devices {

class FtdiPort;

class FarEnd {
public:
    virtual ~FarEnd() = default;

    // A character has finished leaving the port's TX pin.
    virtual void CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte) = 0;
    // The port started or ended a break.
    virtual void BreakChanged(FtdiPort& from, FineTime at, bool on) = 0;
    // The port's RTS or DTR pin changed.
    virtual void OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs) = 0;
    // The port leaves this far end (unplugged, replaced, or its chip is gone): forget it.
    virtual void PortDetached(FtdiPort& port, FineTime at) = 0;
};

}  // namespace emu::devices
