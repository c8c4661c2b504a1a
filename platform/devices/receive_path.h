// The receive half of a port: the buffer between the line and USB, and the packets it sends on
// bulk IN. A packet is two status bytes and up to 62 data bytes; the chip has one to send when 62
// bytes wait (a full 64-byte packet), or, with fewer, when the latency timer has run out since the
// last packet, a modem input changed or the event character arrived. When the latency timer runs
// out with nothing received, the packet carries the status bytes alone.
//
// Unpaced (no latency): a packet is sent whenever data waits, a flush is requested, or the status
// bytes differ from those last sent, so the host learns every change without waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "device_time.h"

namespace emu::devices {

class ReceivePath {
public:
    static constexpr std::size_t kPacketData = 62;

    explicit ReceivePath(std::size_t capacity) : m_capacity(capacity) {}

    std::size_t Capacity() const { return m_capacity; }
    std::size_t Level() const { return m_buffer.size(); }
    std::size_t Free() const { return m_capacity - m_buffer.size(); }

    // Stores a received character with its error bits (parity, framing, break); when the buffer is
    // full the character is lost and an overrun is reported in the next packet. False on overrun.
    bool Store(std::uint8_t byte, std::uint8_t errors);
    // Empties the buffer and forgets a pending overrun.
    void Purge();
    // Sends a packet at the next IN token, whatever the latency timer says.
    void RequestFlush() { m_flushRequested = true; }

    // DR, OE and FIFO error as they stand.
    std::uint8_t LineStatus() const;

    // Whether a packet goes out at `now` (latency: the timer's length; 0 = unpaced). `status` is the
    // pair of status bytes the packet would carry.
    bool PacketDue(FineTime now, FineTime latency, const std::array<std::uint8_t, 2>& status) const;
    // When the latency timer runs out (kFineNever when unpaced).
    FineTime LatencyExpiry(FineTime latency) const;
    // The packet: `status` (from LineStatus and the port's modem and transmitter bits), with the
    // error bits of the characters it carries added to the line byte. Restarts the latency timer.
    std::vector<std::uint8_t> TakePacket(FineTime now, std::array<std::uint8_t, 2> status);

private:
    struct Character {
        std::uint8_t byte;
        std::uint8_t errors;
    };

    std::size_t m_capacity;
    std::deque<Character> m_buffer;
    std::size_t m_withErrors = 0;  // characters in the buffer that carry an error
    bool m_overrun = false;
    bool m_flushRequested = false;
    FineTime m_lastPacket = 0;
    std::array<std::uint8_t, 2> m_lastStatus{0, 0};
};

}  // namespace emu::devices
