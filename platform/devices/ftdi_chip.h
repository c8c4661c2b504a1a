// A simulated full-speed USB-serial chip with one or two UART ports (the two-port chip is a
// composite device, one interface per port). The USB host drives it transaction by transaction:
//
//   Control(now, setup, outData)   a control transfer: standard requests (descriptors,
//                                  SET_CONFIGURATION, ...) and the chip's vendor requests
//                                  (vendor_requests.h); Ack with IN data, or Stall, or NoResponse
//   BulkOut(now, endpoint, data)   OUT data for a port: taken in whole packets of up to 64 bytes as
//                                  far as the transmit buffer has room; Nak when none fits
//   BulkIn(now, endpoint)          an IN token: a packet of two status bytes and up to 62 data bytes
//                                  when one is due (receive_path.h), else Nak
//   NextEventTime(now)             when something next happens inside (a character finishing on a
//                                  line, a latency timer running out); the host calls again then
//
// `now` is machine interrupt time in 100 ns units (device_time.h); it never goes back (an earlier
// value counts as the latest one seen). Every call is thread-safe. Bulk endpoints answer only once
// the device is configured (SET_CONFIGURATION 1); before that they do not answer at all and the
// chip records a protocol error.
//
// Buffer sizes per port, from the datasheets of the full-speed chips this family models: 128 bytes
// from USB to the line (transmit) and 384 bytes from the line to USB (receive); ChipConfig can
// change them. Paced (the default), the transmit buffer drains at the programmed rate (start, data,
// parity and stop bits per character) and the latency timer delays short packets; unpaced, the
// line is instant and short packets go out at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chip_descriptors.h"
#include "device_time.h"
#include "ftdi_port.h"
#include "request_log.h"
#include "standard_requests.h"
#include "usb_transfer.h"
#include "vendor_requests.h"

namespace emu::devices {

struct ChipConfig {
    ChipIdentity identity;
    std::size_t transmitBufferSize = 128;
    std::size_t receiveBufferSize = 384;
    bool paced = true;
    // A USB port reset also returns every port to its power-on settings and empties its buffers.
    bool busResetRestoresSettings = false;
    bool keepRequestLog = true;

    static ChipConfig SinglePort();
    static ChipConfig DualPort();
    static ChipConfig Refused();  // single port, product ID beginning with F
};

class FtdiChip {
public:
    explicit FtdiChip(ChipConfig config = ChipConfig::SinglePort());
    ~FtdiChip();
    FtdiChip(const FtdiChip&) = delete;
    FtdiChip& operator=(const FtdiChip&) = delete;

    const ChipConfig& Config() const { return m_config; }
    const ChipDescriptors& Descriptors() const { return m_descriptors; }
    int PortCount() const { return static_cast<int>(m_ports.size()); }

    // --- the host's side
    ControlResult Control(Time now, const SetupPacket& setup, std::span<const std::uint8_t> outData = {});
    BulkOutResult BulkOut(Time now, std::uint8_t endpoint, std::span<const std::uint8_t> data);
    BulkInResult BulkIn(Time now, std::uint8_t endpoint);
    // A USB port reset: address 0, not configured, no halted endpoint (see busResetRestoresSettings).
    void BusReset(Time now);
    // Every port back to its power-on settings with empty buffers, as after a loss of power.
    void RestorePowerOnSettings(Time now);

    // Scheduling: lower bounds; the answer may come sooner only through a call from outside.
    Time NextEventTime(Time now);
    Time InPacketTime(Time now, std::uint8_t endpoint);  // when BulkIn would next return a packet
    Time OutRoomTime(Time now, std::uint8_t endpoint);   // when a 64-byte packet would next fit

    // --- what tests read
    PortState Port(Time now, int port);
    bool Configured() const;
    std::vector<RequestRecord> RequestLog() const;
    void ClearRequestLog();
    std::vector<ProtocolError> ProtocolErrors() const;
    void ClearProtocolErrors();

    // --- fault injection
    // The nth control request from now (1 = the next) gets `fault` instead of its answer.
    void InjectControlFault(unsigned nth, ControlFault fault);
    // The nth bulk transaction on `endpoint` from now that the chip would answer with Ack (NAKs do
    // not count) gets `handshake` instead: Stall halts the endpoint, NoResponse loses the
    // transaction (IN data stays in the chip, OUT data is not taken).
    void InjectBulkFault(std::uint8_t endpoint, unsigned nth, Handshake handshake);
    // The next IN tokens on `endpoint` get these packets verbatim (at most 64 bytes each), ahead of
    // anything the port has: for a bad status nibble, odd lengths, a status change mid-transfer.
    void ScriptInPackets(std::uint8_t endpoint, std::vector<std::vector<std::uint8_t>> packets);
    // Halts an endpoint as if it had stalled; CLEAR_FEATURE(ENDPOINT_HALT), SET_CONFIGURATION or a
    // bus reset clear it.
    void StallEndpoint(std::uint8_t endpoint);
    bool EndpointStalled(std::uint8_t endpoint) const;

    // A port's line for cables (cable.h): valid while the chip lives; use under ModelLock.
    FtdiPort& LinePort(int port);

private:
    FineTime Advance(Time now);
    void Settle();
    ControlResult Dispatch(FineTime at, const SetupPacket& setup, std::span<const std::uint8_t> outData, int& port);
    FtdiPort* BulkPort(std::uint8_t endpoint, bool in);
    FtdiPort* EndpointPort(std::uint8_t endpoint);
    std::optional<Handshake> TakeBulkFault(std::uint8_t endpoint);
    void RecordProtocolError(int port, std::string message);

    ChipConfig m_config;
    ChipDescriptors m_descriptors;
    std::vector<std::unique_ptr<FtdiPort>> m_ports;
    UsbDeviceState m_usb;
    StandardRequests m_standard;
    VendorRequests m_vendor;
    std::vector<RequestRecord> m_requestLog;
    std::vector<ProtocolError> m_protocolErrors;
    Time m_callTime = 0;  // the time of the call under way, for the records
    std::uint64_t m_controlCount = 0;
    std::map<std::uint64_t, ControlFault> m_controlFaults;  // by control request ordinal
    std::map<std::uint8_t, std::uint64_t> m_bulkCounts;     // answerable transactions per endpoint
    std::map<std::uint8_t, std::map<std::uint64_t, Handshake>> m_bulkFaults;
    std::map<std::uint8_t, std::deque<std::vector<std::uint8_t>>> m_scriptedPackets;
};

}  // namespace emu::devices
