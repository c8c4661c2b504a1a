// One UART channel of the chip: its settings, its transmit and receive buffers, the modem lines
// and the flow control the chip does on its own.
//
// Flow control inside the chip, when enabled with SET_FLOW_CTRL:
// - transmit: the next character does not start while CTS is low (RTS/CTS), DSR is low (DTR/DSR),
//   or an XOFF has been received and no XON since (XON/XOFF); a character on the line finishes;
// - receive: when the receive buffer is nearly full (kReceiveHoldFree bytes or fewer free) the chip
//   drops RTS (RTS/CTS) or DTR (DTR/DSR), or sends XOFF (XON/XOFF); when it has drained to
//   kReceiveReleaseFree bytes free it raises the line again, or sends XON. The pin is the line as
//   MODEM_CTRL set it AND NOT this hold. Received XON and XOFF characters act on the transmitter and
//   also stay in the data.
// A received character with a parity or framing error is replaced by the error character when it
// is enabled; the event character, when enabled, makes the next IN token get a packet at once. A
// break on the line arrives as a 0x00 character carrying BI.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "device_time.h"
#include "far_end.h"
#include "line_domain.h"
#include "line_settings.h"
#include "line_signals.h"
#include "receive_path.h"
#include "transmit_path.h"

namespace emu::devices {

// A snapshot of a port for tests and the host.
struct PortState {
    PortSettings settings;
    ModemOutputs outputs;  // the pins, after the chip's own receive flow control
    ModemInputs inputs;
    std::size_t transmitLevel = 0;
    std::size_t receiveLevel = 0;
    bool transmitterBusy = false;
    bool xoffReceived = false;
    bool receiveHeld = false;
    std::uint64_t charactersSent = 0;
    std::uint64_t charactersReceived = 0;
    std::uint64_t overruns = 0;
    std::array<std::uint8_t, 2> statusBytes{};
};

class FtdiPort final : public DomainMember {
public:
    enum class ResetKind { Port, TransmitBuffer, ReceiveBuffer };
    // Receive flow control thresholds, in free bytes of the receive buffer (at most a quarter and
    // half of a small buffer).
    static constexpr std::size_t kReceiveHoldFree = 32;
    static constexpr std::size_t kReceiveReleaseFree = 128;

    FtdiPort(std::size_t transmitCapacity, std::size_t receiveCapacity, bool paced);
    ~FtdiPort() override;

    // --- programmed by vendor requests (at domain time)
    void Reset(FineTime at, ResetKind kind);
    void SetModemControl(FineTime at, std::uint8_t mask, std::uint8_t values);
    void SetFlowControl(FineTime at, const FlowControl& flow);
    void SetBaudDivisor(const BaudDivisor& divisor) { m_settings.baud = divisor; }
    void SetLineSettings(FineTime at, const LineSettings& line);
    void SetEventCharacter(const SpecialCharacter& character) { m_settings.eventCharacter = character; }
    void SetErrorCharacter(const SpecialCharacter& character) { m_settings.errorCharacter = character; }
    void SetLatency(std::uint8_t milliseconds) { m_settings.latencyMs = milliseconds; }
    void RestorePowerOnSettings(FineTime at);

    const PortSettings& Settings() const { return m_settings; }
    // Modem status and line status, as GET_MODEM_STATUS answers them.
    std::array<std::uint8_t, 2> StatusBytes() const;
    PortState State() const;

    // --- bulk endpoints
    std::size_t TransmitRoom() const { return m_transmit.Room(); }
    void OfferTransmit(FineTime at, std::span<const std::uint8_t> bytes);
    bool PacketDue(FineTime now) const;
    std::vector<std::uint8_t> TakePacket(FineTime now);
    // Lower bounds for the host's scheduling (the domain's next event may come sooner).
    FineTime PacketDueTime(FineTime now) const;
    FineTime TransmitRoomTime(FineTime now, std::size_t bytes) const;

    // --- the line, for cables
    void AttachFarEnd(FineTime at, std::shared_ptr<FarEnd> farEnd);
    void DetachFarEnd(FineTime at);
    void CharacterArrived(FineTime at, std::uint8_t byte, std::uint8_t errors);
    void BreakArrived(FineTime at) { CharacterArrived(at, 0x00, status::kBreak); }
    void InputsChanged(FineTime at, const ModemInputs& inputs);
    ModemOutputs Outputs() const { return m_outputs; }
    bool BreakOn() const { return m_settings.line.breakOn; }
    // One character at the current settings; 0 when the chip is unpaced.
    FineTime LineCharacterTime() const { return m_paced ? m_settings.CharacterTime() : 0; }

    // --- DomainMember: the transmitter
    FineTime NextEvent() const override { return m_transmit.BusyUntil(); }
    void RunEvent(FineTime at) override;
    std::uint64_t EventOrder() const override { return m_eventOrder; }

private:
    bool TransmitHeld() const;
    void KickTransmitter(FineTime at);
    void UpdateReceiveHold(FineTime at);
    void PublishOutputs(FineTime at);
    FineTime LatencyTime() const;
    std::size_t ReceiveHoldFree() const;
    std::size_t ReceiveReleaseFree() const;

    bool m_paced;
    PortSettings m_settings;
    TransmitPath m_transmit;
    ReceivePath m_receive;
    ModemInputs m_inputs;
    ModemOutputs m_outputs;
    bool m_xoffReceived = false;
    bool m_receiveHeld = false;
    std::uint64_t m_charactersSent = 0;
    std::uint64_t m_charactersReceived = 0;
    std::uint64_t m_overruns = 0;
    std::uint64_t m_eventOrder = 0;  // of the character on the line
    std::shared_ptr<FarEnd> m_farEnd;
};

}  // namespace emu::devices
