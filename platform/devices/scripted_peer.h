// A serial device at the far end of a port that a test drives byte by byte and line by line: it
// sends characters (with parity or framing errors if asked), breaks, and sets the lines the chip
// reads (CTS, DSR, RI, DCD); it records every character the chip sends, with the time it finished
// and the chip's RTS and DTR at that moment.
//
// Characters sent follow one another at the port's own framing and rate (the two ends are assumed
// to agree), the first starting at `now` or when the previous one ends; on an unpaced chip, or with
// SendInstantly, they arrive at once. A break lasts one character time and arrives as a 0x00 with
// BI. Made by AttachScriptedPeer (cable.h); every call takes the machine time like the chip's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "device_time.h"
#include "far_end.h"
#include "line_domain.h"
#include "line_signals.h"

namespace emu::devices {

struct WireCharacter {
    Time time = 0;  // when its last stop bit ended
    std::uint8_t byte = 0;
    ModemOutputs chipOutputs;
};

struct OutputChange {
    Time time = 0;
    ModemOutputs chipOutputs;
};

class ScriptedPeer final : public FarEnd, public DomainMember {
public:
    explicit ScriptedPeer(FtdiPort& port) : m_port(&port) {}

    void Send(Time now, std::span<const std::uint8_t> bytes);
    void SendInstantly(Time now, std::span<const std::uint8_t> bytes);
    // One character carrying status::kParityError and/or status::kFramingError.
    void SendWithErrors(Time now, std::uint8_t byte, std::uint8_t errors);
    void SendBreak(Time now);
    std::size_t PendingCount(Time now);

    // The lines the chip reads.
    void SetLines(Time now, const ModemInputs& lines);
    void SetCts(Time now, bool on);
    void SetDsr(Time now, bool on);
    void SetRi(Time now, bool on);
    void SetDcd(Time now, bool on);
    ModemInputs Lines() const;

    // What the chip sent.
    std::vector<WireCharacter> Received(Time now);
    std::vector<std::uint8_t> ReceivedBytes(Time now);
    void ClearReceived();
    ModemOutputs ChipOutputs(Time now);
    // The chip's RTS and DTR at attachment and at every change since.
    std::vector<OutputChange> ChipOutputHistory(Time now);
    bool ChipBreakOn(Time now);
    std::size_t BreaksReceived(Time now);
    bool Attached() const;

    // FarEnd
    void CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte) override;
    void BreakChanged(FtdiPort& from, FineTime at, bool on) override;
    void OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs) override;
    void PortDetached(FtdiPort& port, FineTime at) override;

    // DomainMember: the character on its way to the chip
    FineTime NextEvent() const override { return m_onLine ? m_busyUntil : kFineNever; }
    void RunEvent(FineTime at) override;

private:
    struct Outgoing {
        std::uint8_t byte = 0;
        std::uint8_t errors = 0;
        bool isBreak = false;
        bool instant = false;
    };

    FineTime Advance(Time now);
    void Queue(Time now, const Outgoing& character);
    void StartNext(FineTime at);
    void ChangeLines(Time now, bool ModemInputs::*line, bool on);

    FtdiPort* m_port;
    ModemInputs m_lines;
    std::deque<Outgoing> m_queue;
    std::optional<Outgoing> m_onLine;
    FineTime m_busyUntil = 0;
    std::vector<WireCharacter> m_received;
    std::vector<OutputChange> m_outputHistory;
    bool m_chipBreak = false;
    std::size_t m_breaks = 0;
};

}  // namespace emu::devices
