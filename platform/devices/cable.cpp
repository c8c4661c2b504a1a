#include "cable.h"

#include <algorithm>
#include <stdexcept>

#include "scripted_peer.h"

namespace emu::devices {

namespace {

FineTime AdvancePort(FtdiPort& port, Time now)
{
    port.Domain().AdvanceTo(ToFine(now));
    return port.Domain().Now();
}

}  // namespace

void LoopbackPlug::CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte)
{
    from.CharacterArrived(at, byte, 0);
}

void LoopbackPlug::BreakChanged(FtdiPort& from, FineTime at, bool on)
{
    if (on) from.BreakArrived(at);
}

void LoopbackPlug::OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs)
{
    from.InputsChanged(at, InputsFor(outputs));
}

void NullModemCable::Connect(FineTime at)
{
    m_a->InputsChanged(at, LoopbackPlug::InputsFor(m_b->Outputs()));
    m_b->InputsChanged(at, LoopbackPlug::InputsFor(m_a->Outputs()));
}

bool NullModemCable::FramesMatch(const PortSettings& a, const PortSettings& b)
{
    const std::uint64_t slower = std::max(a.baud.eighths, b.baud.eighths);
    const std::uint64_t faster = std::min(a.baud.eighths, b.baud.eighths);
    return a.line.SameFrame(b.line) && (slower - faster) * 100 <= 3 * faster;
}

void NullModemCable::CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte)
{
    if (FtdiPort* to = Other(from))
        to->CharacterArrived(at, byte, FramesMatch(from.Settings(), to->Settings()) ? 0 : status::kFramingError);
}

void NullModemCable::BreakChanged(FtdiPort& from, FineTime at, bool on)
{
    FtdiPort* to = Other(from);
    if (to && on) to->BreakArrived(at);
}

void NullModemCable::OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs)
{
    if (FtdiPort* to = Other(from)) to->InputsChanged(at, LoopbackPlug::InputsFor(outputs));
}

void NullModemCable::PortDetached(FtdiPort& port, FineTime at)
{
    FtdiPort* other = Other(port);
    (&port == m_a ? m_a : m_b) = nullptr;
    if (other) other->InputsChanged(at, ModemInputs{});
}

void PlugLoopback(Time now, FtdiChip& chip, int port)
{
    std::lock_guard lock(ModelLock());
    FtdiPort& line = chip.LinePort(port);
    const FineTime at = AdvancePort(line, now);
    line.AttachFarEnd(at, std::make_shared<LoopbackPlug>());
    line.InputsChanged(at, LoopbackPlug::InputsFor(line.Outputs()));
}

void ConnectNullModem(Time now, FtdiChip& chipA, int portA, FtdiChip& chipB, int portB)
{
    std::lock_guard lock(ModelLock());
    FtdiPort& a = chipA.LinePort(portA);
    FtdiPort& b = chipB.LinePort(portB);
    if (&a == &b) throw std::invalid_argument("a null-modem cable needs two ports; use a loopback plug");
    AdvancePort(a, now);
    AdvancePort(b, now);
    a.JoinDomainOf(b);
    const FineTime at = a.Domain().Now();
    auto cable = std::make_shared<NullModemCable>(a, b);
    a.AttachFarEnd(at, cable);
    b.AttachFarEnd(at, cable);
    cable->Connect(at);
}

std::shared_ptr<ScriptedPeer> AttachScriptedPeer(Time now, FtdiChip& chip, int port)
{
    std::lock_guard lock(ModelLock());
    FtdiPort& line = chip.LinePort(port);
    const FineTime at = AdvancePort(line, now);
    auto peer = std::make_shared<ScriptedPeer>(line);
    peer->JoinDomainOf(line);
    line.AttachFarEnd(at, peer);
    peer->OutputsChanged(line, at, line.Outputs());
    line.InputsChanged(at, peer->Lines());
    return peer;
}

void Unplug(Time now, FtdiChip& chip, int port)
{
    std::lock_guard lock(ModelLock());
    FtdiPort& line = chip.LinePort(port);
    line.DetachFarEnd(AdvancePort(line, now));
}

}  // namespace emu::devices
