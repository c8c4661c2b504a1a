#include "scripted_peer.h"

#include "ftdi_port.h"

namespace emu::devices {

FineTime ScriptedPeer::Advance(Time now)
{
    Domain().AdvanceTo(ToFine(now));
    return Domain().Now();
}

void ScriptedPeer::Send(Time now, std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(ModelLock());
    for (std::uint8_t byte : bytes) Queue(now, {byte, 0, false, false});
}

void ScriptedPeer::SendInstantly(Time now, std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(ModelLock());
    for (std::uint8_t byte : bytes) Queue(now, {byte, 0, false, true});
}

void ScriptedPeer::SendWithErrors(Time now, std::uint8_t byte, std::uint8_t errors)
{
    std::lock_guard lock(ModelLock());
    Queue(now, {byte, static_cast<std::uint8_t>(errors & (status::kParityError | status::kFramingError)), false,
                false});
}

void ScriptedPeer::SendBreak(Time now)
{
    std::lock_guard lock(ModelLock());
    Queue(now, {0, 0, true, false});
}

std::size_t ScriptedPeer::PendingCount(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_queue.size() + (m_onLine ? 1 : 0);
}

void ScriptedPeer::Queue(Time now, const Outgoing& character)
{
    const FineTime at = Advance(now);
    m_queue.push_back(character);
    StartNext(at);
    Domain().AdvanceTo(at);  // an instant character arrives now
}

void ScriptedPeer::StartNext(FineTime at)
{
    if (m_onLine || m_queue.empty()) return;
    m_onLine = m_queue.front();
    m_queue.pop_front();
    const bool instant = m_onLine->instant || !m_port;
    m_busyUntil = at + (instant ? 0 : m_port->LineCharacterTime());
}

void ScriptedPeer::RunEvent(FineTime at)
{
    const Outgoing character = *m_onLine;
    m_onLine.reset();
    if (m_port) {
        if (character.isBreak)
            m_port->BreakArrived(at);
        else
            m_port->CharacterArrived(at, character.byte, character.errors);
    }
    StartNext(at);
}

void ScriptedPeer::SetLines(Time now, const ModemInputs& lines)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    m_lines = lines;
    if (m_port) m_port->InputsChanged(at, lines);
    Domain().AdvanceTo(at);
}

void ScriptedPeer::ChangeLines(Time now, bool ModemInputs::*line, bool on)
{
    std::lock_guard lock(ModelLock());
    ModemInputs lines = m_lines;
    lines.*line = on;
    SetLines(now, lines);
}

void ScriptedPeer::SetCts(Time now, bool on) { ChangeLines(now, &ModemInputs::cts, on); }
void ScriptedPeer::SetDsr(Time now, bool on) { ChangeLines(now, &ModemInputs::dsr, on); }
void ScriptedPeer::SetRi(Time now, bool on) { ChangeLines(now, &ModemInputs::ri, on); }
void ScriptedPeer::SetDcd(Time now, bool on) { ChangeLines(now, &ModemInputs::dcd, on); }

ModemInputs ScriptedPeer::Lines() const
{
    std::lock_guard lock(ModelLock());
    return m_lines;
}

std::vector<WireCharacter> ScriptedPeer::Received(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_received;
}

std::vector<std::uint8_t> ScriptedPeer::ReceivedBytes(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    std::vector<std::uint8_t> bytes;
    for (const WireCharacter& character : m_received) bytes.push_back(character.byte);
    return bytes;
}

void ScriptedPeer::ClearReceived()
{
    std::lock_guard lock(ModelLock());
    m_received.clear();
}

ModemOutputs ScriptedPeer::ChipOutputs(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_port ? m_port->Outputs() : ModemOutputs{};
}

std::vector<OutputChange> ScriptedPeer::ChipOutputHistory(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_outputHistory;
}

bool ScriptedPeer::ChipBreakOn(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_chipBreak;
}

std::size_t ScriptedPeer::BreaksReceived(Time now)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return m_breaks;
}

bool ScriptedPeer::Attached() const
{
    std::lock_guard lock(ModelLock());
    return m_port != nullptr;
}

void ScriptedPeer::CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte)
{
    m_received.push_back({ToTime(at), byte, from.Outputs()});
}

void ScriptedPeer::OutputsChanged(FtdiPort&, FineTime at, ModemOutputs outputs)
{
    m_outputHistory.push_back({ToTime(at), outputs});
}

void ScriptedPeer::BreakChanged(FtdiPort&, FineTime, bool on)
{
    m_chipBreak = on;
    if (on) ++m_breaks;
}

void ScriptedPeer::PortDetached(FtdiPort&, FineTime)
{
    m_port = nullptr;
    m_chipBreak = false;
}

}  // namespace emu::devices
