#include "transmit_path.h"

#include <algorithm>

namespace emu::devices {

std::size_t TransmitPath::Offer(std::span<const std::uint8_t> bytes)
{
    const std::size_t taken = std::min(bytes.size(), Room());
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
}

bool TransmitPath::StartNext(FineTime at, FineTime duration, bool held)
{
    if (m_onLine) return false;
    if (m_flowCharacter) {
        m_onLine = m_flowCharacter;
        m_flowCharacter.reset();
    } else if (!held && !m_buffer.empty()) {
        m_onLine = m_buffer.front();
        m_buffer.pop_front();
    } else {
        return false;
    }
    m_busyUntil = at + duration;
    return true;
}

std::uint8_t TransmitPath::Finish()
{
    const std::uint8_t character = *m_onLine;
    m_onLine.reset();
    return character;
}

}  // namespace emu::devices
