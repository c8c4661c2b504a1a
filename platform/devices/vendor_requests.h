// The chip's vendor requests (bmRequestType 0x40/0x41 out, 0xC0/0xC1 in):
//   0 RESET            wValue 0 resets the port (both buffers emptied), 1 empties the transmit
//                      buffer, 2 the receive buffer
//   1 MODEM_CTRL       wValue low byte DTR (bit 0) and RTS (bit 1), high byte the mask of those set
//   2 SET_FLOW_CTRL    wValue XON | XOFF << 8; wIndex high byte 0x01 RTS/CTS, 0x02 DTR/DSR, 0x04 XON/XOFF
//   3 SET_BAUD_RATE    see baud_divisor.h
//   4 SET_DATA         see line_settings.h
//   5 GET_MODEM_STATUS in, 2 bytes: modem status, line status
//   6 SET_EVENT_CHAR   character | 0x100 when enabled
//   7 SET_ERROR_CHAR   character | 0x100 when enabled
//   9 SET_LATENCY_TIMER wValue 1 to 255 ms
//  10 GET_LATENCY_TIMER in, 1 byte
// The port is wIndex's low byte: on a multi-port chip 1..n; a single-port chip takes 0 or 1 (and
// SET_BAUD_RATE's wIndex there is the third code bit alone). Out requests carry no data.
// Anything else, a wrong direction, an unknown port or a value out of range is stalled and
// recorded as a protocol error; an unused bit set, data on an out request, or an invalid baud
// divisor is carried out and recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ftdi_port.h"
#include "usb_transfer.h"

namespace emu::devices {

namespace vendor {
inline constexpr std::uint8_t kReset = 0;
inline constexpr std::uint8_t kModemControl = 1;
inline constexpr std::uint8_t kSetFlowControl = 2;
inline constexpr std::uint8_t kSetBaudRate = 3;
inline constexpr std::uint8_t kSetData = 4;
inline constexpr std::uint8_t kGetModemStatus = 5;
inline constexpr std::uint8_t kSetEventChar = 6;
inline constexpr std::uint8_t kSetErrorChar = 7;
inline constexpr std::uint8_t kSetLatencyTimer = 9;
inline constexpr std::uint8_t kGetLatencyTimer = 10;
}  // namespace vendor

class VendorRequests {
public:
    using ErrorSink = std::function<void(int port, std::string message)>;

    VendorRequests(std::vector<std::unique_ptr<FtdiPort>>& ports, ErrorSink errors)
        : m_ports(ports), m_errors(std::move(errors))
    {
    }

    // Carries out one request at `at`; `port` is set to the port it addressed (0 when none).
    ControlResult Handle(FineTime at, const SetupPacket& setup, std::span<const std::uint8_t> outData, int& port);

private:
    bool MultiPort() const { return m_ports.size() > 1; }
    int DecodePort(const SetupPacket& setup) const;
    ControlResult Refuse(int port, std::string message);
    void Note(int port, std::string message) { m_errors(port, std::move(message)); }
    void CheckUnusedIndexBits(const SetupPacket& setup, int port);
    ControlResult Dispatch(FineTime at, const SetupPacket& setup, FtdiPort& target, int port);
    ControlResult Reset(FineTime at, const SetupPacket& setup, FtdiPort& target, int port);
    ControlResult SetBaudRate(const SetupPacket& setup, FtdiPort& target, int port);
    ControlResult SetData(FineTime at, const SetupPacket& setup, FtdiPort& target, int port);
    ControlResult SetFlowControl(FineTime at, const SetupPacket& setup, FtdiPort& target, int port);
    SpecialCharacter DecodeCharacter(const SetupPacket& setup, int port);
    ControlResult SetLatency(const SetupPacket& setup, FtdiPort& target, int port);

    std::vector<std::unique_ptr<FtdiPort>>& m_ports;
    ErrorSink m_errors;
};

}  // namespace emu::devices
