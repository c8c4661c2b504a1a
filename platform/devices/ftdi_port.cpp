#include "ftdi_port.h"

#include <algorithm>

namespace emu::devices {

FtdiPort::FtdiPort(std::size_t transmitCapacity, std::size_t receiveCapacity, bool paced)
    : m_paced(paced), m_transmit(transmitCapacity), m_receive(receiveCapacity)
{
}

FtdiPort::~FtdiPort()
{
    if (m_farEnd) m_farEnd->PortDetached(*this, Domain().Now());
}

void FtdiPort::Reset(FineTime at, ResetKind kind)
{
    if (kind != ResetKind::ReceiveBuffer) m_transmit.Purge();
    if (kind != ResetKind::TransmitBuffer) m_receive.Purge();
    if (kind == ResetKind::Port) m_xoffReceived = false;
    UpdateReceiveHold(at);
    KickTransmitter(at);
}

void FtdiPort::SetModemControl(FineTime at, std::uint8_t mask, std::uint8_t values)
{
    constexpr std::uint8_t kDtr = 0x01;
    constexpr std::uint8_t kRts = 0x02;
    if (mask & kDtr) m_settings.modemControl.dtr = (values & kDtr) != 0;
    if (mask & kRts) m_settings.modemControl.rts = (values & kRts) != 0;
    PublishOutputs(at);
}

void FtdiPort::SetFlowControl(FineTime at, const FlowControl& flow)
{
    m_settings.flow = flow;
    m_xoffReceived = false;
    PublishOutputs(at);
    KickTransmitter(at);
}

void FtdiPort::SetLineSettings(FineTime at, const LineSettings& line)
{
    const bool breakChanged = line.breakOn != m_settings.line.breakOn;
    m_settings.line = line;
    if (!breakChanged) return;
    if (line.breakOn) m_transmit.Cut();
    if (m_farEnd) m_farEnd->BreakChanged(*this, at, line.breakOn);
    KickTransmitter(at);
}

void FtdiPort::RestorePowerOnSettings(FineTime at)
{
    LineSettings line;  // ends a break first, as the far end must see
    SetLineSettings(at, line);
    m_settings = PortSettings{};
    m_receiveHeld = false;
    Reset(at, ResetKind::Port);
    PublishOutputs(at);
}

std::array<std::uint8_t, 2> FtdiPort::StatusBytes() const
{
    std::uint8_t line = m_receive.LineStatus();
    if (m_transmit.BufferEmpty()) line |= status::kTransmitHoldingEmpty;
    if (m_transmit.Empty()) line |= status::kTransmitterEmpty;
    return {ModemStatusByte(m_inputs), line};
}

PortState FtdiPort::State() const
{
    PortState state;
    state.settings = m_settings;
    state.outputs = m_outputs;
    state.inputs = m_inputs;
    state.transmitLevel = m_transmit.Level();
    state.receiveLevel = m_receive.Level();
    state.transmitterBusy = m_transmit.LineBusy();
    state.xoffReceived = m_xoffReceived;
    state.receiveHeld = m_receiveHeld;
    state.charactersSent = m_charactersSent;
    state.charactersReceived = m_charactersReceived;
    state.overruns = m_overruns;
    state.statusBytes = StatusBytes();
    return state;
}

void FtdiPort::OfferTransmit(FineTime at, std::span<const std::uint8_t> bytes)
{
    m_transmit.Offer(bytes);
    KickTransmitter(at);
}

FineTime FtdiPort::LatencyTime() const
{
    return m_paced ? ToFine(m_settings.latencyMs * kTimePerMillisecond) : 0;
}

bool FtdiPort::PacketDue(FineTime now) const
{
    return m_receive.PacketDue(now, LatencyTime(), StatusBytes());
}

std::vector<std::uint8_t> FtdiPort::TakePacket(FineTime now)
{
    std::vector<std::uint8_t> packet = m_receive.TakePacket(now, StatusBytes());
    UpdateReceiveHold(now);
    return packet;
}

FineTime FtdiPort::PacketDueTime(FineTime now) const
{
    return PacketDue(now) ? now : m_receive.LatencyExpiry(LatencyTime());
}

FineTime FtdiPort::TransmitRoomTime(FineTime now, std::size_t bytes) const
{
    if (m_transmit.Room() >= bytes) return now;
    return m_transmit.BusyUntil();  // kFineNever while held: only a change from outside helps
}

void FtdiPort::AttachFarEnd(FineTime at, std::shared_ptr<FarEnd> farEnd)
{
    if (std::shared_ptr<FarEnd> old = std::move(m_farEnd)) old->PortDetached(*this, at);
    m_farEnd = std::move(farEnd);
}

void FtdiPort::DetachFarEnd(FineTime at)
{
    AttachFarEnd(at, nullptr);
    InputsChanged(at, ModemInputs{});  // nothing drives the inputs: they read inactive
}

void FtdiPort::CharacterArrived(FineTime at, std::uint8_t byte, std::uint8_t errors)
{
    ++m_charactersReceived;
    const FlowControl& flow = m_settings.flow;
    if ((errors & (status::kParityError | status::kFramingError)) && m_settings.errorCharacter.enabled)
        byte = m_settings.errorCharacter.value;
    if (flow.xonXoff && errors == 0) {
        if (byte == flow.xoff) m_xoffReceived = true;
        if (byte == flow.xon) m_xoffReceived = false;
    }
    if (m_settings.eventCharacter.Matches(byte)) m_receive.RequestFlush();
    if (!m_receive.Store(byte, errors)) ++m_overruns;
    UpdateReceiveHold(at);
    KickTransmitter(at);
}

void FtdiPort::InputsChanged(FineTime at, const ModemInputs& inputs)
{
    if (inputs == m_inputs) return;
    m_inputs = inputs;
    m_receive.RequestFlush();
    KickTransmitter(at);
}

void FtdiPort::RunEvent(FineTime at)
{
    const std::uint8_t byte = m_transmit.Finish();
    ++m_charactersSent;
    if (m_farEnd) m_farEnd->CharacterSent(*this, at, byte);
    KickTransmitter(at);
}

bool FtdiPort::TransmitHeld() const
{
    const FlowControl& flow = m_settings.flow;
    return (flow.rtsCts && !m_inputs.cts) || (flow.dtrDsr && !m_inputs.dsr) || (flow.xonXoff && m_xoffReceived);
}

void FtdiPort::KickTransmitter(FineTime at)
{
    if (m_settings.line.breakOn) return;
    if (m_transmit.StartNext(at, LineCharacterTime(), TransmitHeld())) m_eventOrder = NextEventOrder();
}

std::size_t FtdiPort::ReceiveHoldFree() const { return std::min(kReceiveHoldFree, m_receive.Capacity() / 4); }

std::size_t FtdiPort::ReceiveReleaseFree() const
{
    return std::min(kReceiveReleaseFree, m_receive.Capacity() / 2);
}

void FtdiPort::UpdateReceiveHold(FineTime at)
{
    const std::size_t free = m_receive.Free();
    const bool hold = m_receiveHeld ? free < ReceiveReleaseFree() : free <= ReceiveHoldFree();
    if (hold == m_receiveHeld) return;
    m_receiveHeld = hold;
    if (m_settings.flow.xonXoff) {
        m_transmit.QueueFlowCharacter(hold ? m_settings.flow.xoff : m_settings.flow.xon);
        KickTransmitter(at);
    }
    PublishOutputs(at);
}

void FtdiPort::PublishOutputs(FineTime at)
{
    const FlowControl& flow = m_settings.flow;
    ModemOutputs outputs = m_settings.modemControl;
    if (flow.rtsCts && m_receiveHeld) outputs.rts = false;
    if (flow.dtrDsr && m_receiveHeld) outputs.dtr = false;
    if (outputs == m_outputs) return;
    m_outputs = outputs;
    if (m_farEnd) m_farEnd->OutputsChanged(*this, at, outputs);
}

}  // namespace emu::devices
