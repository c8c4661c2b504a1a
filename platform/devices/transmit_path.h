// The transmit half of a port: the buffer between USB and the line (filled by bulk OUT) and the
// shift register that puts one character at a time on the line. A flow-control character (XON or
// XOFF that the chip sends on its own) goes ahead of the buffer and is not held by flow control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "device_time.h"

namespace emu::devices {

class TransmitPath {
public:
    explicit TransmitPath(std::size_t capacity) : m_capacity(capacity) {}

    std::size_t Capacity() const { return m_capacity; }
    std::size_t Level() const { return m_buffer.size(); }
    std::size_t Room() const { return m_capacity - m_buffer.size(); }
    bool LineBusy() const { return m_onLine.has_value(); }
    bool BufferEmpty() const { return m_buffer.empty(); }                            // THRE
    bool Empty() const { return m_buffer.empty() && !m_onLine && !m_flowCharacter; }  // TEMT

    // Takes as many bytes as fit; returns how many.
    std::size_t Offer(std::span<const std::uint8_t> bytes);
    // Empties the buffer; a character already on the line still finishes.
    void Purge() { m_buffer.clear(); }
    // Sends `character` next (replacing a flow character not yet started).
    void QueueFlowCharacter(std::uint8_t character) { m_flowCharacter = character; }

    // When the line is free, starts the next character at `at`, lasting `duration`: a flow
    // character first, else the buffer's head unless `held`. True when one started.
    bool StartNext(FineTime at, FineTime duration, bool held);
    // When the character on the line finishes, or kFineNever when the line is free.
    FineTime BusyUntil() const { return m_onLine ? m_busyUntil : kFineNever; }
    // The character that has just left; the line is free again.
    std::uint8_t Finish();
    // A break cuts the character on the line: it never arrives.
    void Cut() { m_onLine.reset(); }

private:
    std::size_t m_capacity;
    std::deque<std::uint8_t> m_buffer;
    std::optional<std::uint8_t> m_flowCharacter;
    std::optional<std::uint8_t> m_onLine;
    FineTime m_busyUntil = 0;
};

}  // namespace emu::devices
