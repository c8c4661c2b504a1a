#include "receive_path.h"

#include <algorithm>

#include "line_signals.h"

namespace emu::devices {

bool ReceivePath::Store(std::uint8_t byte, std::uint8_t errors)
{
    if (m_buffer.size() >= m_capacity) {
        m_overrun = true;
        return false;
    }
    m_buffer.push_back({byte, errors});
    if (errors != 0) ++m_withErrors;
    return true;
}

void ReceivePath::Purge()
{
    m_buffer.clear();
    m_withErrors = 0;
    m_overrun = false;
}

std::uint8_t ReceivePath::LineStatus() const
{
    std::uint8_t line = 0;
    if (!m_buffer.empty()) line |= status::kDataReady;
    if (m_overrun) line |= status::kOverrun;
    if (m_withErrors != 0) line |= status::kFifoError;
    return line;
}

bool ReceivePath::PacketDue(FineTime now, FineTime latency, const std::array<std::uint8_t, 2>& status) const
{
    if (m_buffer.size() >= kPacketData || m_flushRequested) return true;
    if (latency == 0) return !m_buffer.empty() || status != m_lastStatus;
    return now >= m_lastPacket + latency;
}

FineTime ReceivePath::LatencyExpiry(FineTime latency) const
{
    return latency == 0 ? kFineNever : m_lastPacket + latency;
}

std::vector<std::uint8_t> ReceivePath::TakePacket(FineTime now, std::array<std::uint8_t, 2> status)
{
    const std::size_t count = std::min(kPacketData, m_buffer.size());
    std::vector<std::uint8_t> packet{status[0], status[1]};
    packet.reserve(2 + count);
    for (std::size_t i = 0; i < count; ++i) {
        const Character& character = m_buffer.front();
        packet.push_back(character.byte);
        packet[1] |= character.errors;
        if (character.errors != 0) --m_withErrors;
        m_buffer.pop_front();
    }
    m_overrun = false;
    m_flushRequested = false;
    m_lastPacket = now;
    m_lastStatus = status;
    return packet;
}

}  // namespace emu::devices
