// What a chip records for tests: every control request in order, the protocol errors it saw (a
// request the chip documents as invalid, or traffic it cannot take), and the faults a test can
// inject into its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_time.h"
#include "usb_transfer.h"

namespace emu::devices {

struct RequestRecord {
    Time time = 0;
    SetupPacket setup;
    std::vector<std::uint8_t> outData;
    Handshake handshake = Handshake::Ack;
    std::vector<std::uint8_t> inData;
    int port = 0;           // the port a vendor request addressed; 0 for device requests
    bool injected = false;  // answered by an injected fault
};

// "0x1A": how protocol error messages show request fields.
std::string HexText(unsigned value);

struct ProtocolError {
    Time time = 0;
    int port = 0;  // 0: the device
    std::string message;
};

// An injected answer to a control request. Stall or NoResponse: the request is not carried out.
// Ack with truncateInTo: carried out, but the IN data is cut to that many bytes.
struct ControlFault {
    Handshake handshake = Handshake::Stall;
    std::optional<std::size_t> truncateInTo;
};

}  // namespace emu::devices
