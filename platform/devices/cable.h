// The far ends of a port's serial line:
// - a loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD;
// - a null-modem cable to another port of any chip (the same chip's other port too): TX to RX both
//   ways, RTS to the other CTS, DTR to the other DSR and DCD. A character that the two ports frame
//   differently (data bits, parity, stop bits, or rates more than 3 % apart) arrives with a framing
//   error, as a real receiver would see it;
// - a scripted peer (scripted_peer.h).
// Each takes the place of whatever the port had; Unplug leaves the line open (inputs inactive).
// A cable between two chips makes them run in lockstep (line_domain.h): drive them with one clock.
#pragma once

#include <memory>

#include "device_time.h"
#include "far_end.h"
#include "ftdi_chip.h"

namespace emu::devices {

class ScriptedPeer;

void PlugLoopback(Time now, FtdiChip& chip, int port);
void ConnectNullModem(Time now, FtdiChip& chipA, int portA, FtdiChip& chipB, int portB);
std::shared_ptr<ScriptedPeer> AttachScriptedPeer(Time now, FtdiChip& chip, int port);
void Unplug(Time now, FtdiChip& chip, int port);

class LoopbackPlug final : public FarEnd {
public:
    static ModemInputs InputsFor(const ModemOutputs& outputs) { return {outputs.rts, outputs.dtr, false, outputs.dtr}; }

    void CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte) override;
    void BreakChanged(FtdiPort& from, FineTime at, bool on) override;
    void OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs) override;
    void PortDetached(FtdiPort&, FineTime) override {}
};

class NullModemCable final : public FarEnd {
public:
    NullModemCable(FtdiPort& a, FtdiPort& b) : m_a(&a), m_b(&b) {}

    // Each side's inputs from the other side's outputs, once both ends are plugged.
    void Connect(FineTime at);
    static bool FramesMatch(const PortSettings& a, const PortSettings& b);

    void CharacterSent(FtdiPort& from, FineTime at, std::uint8_t byte) override;
    void BreakChanged(FtdiPort& from, FineTime at, bool on) override;
    void OutputsChanged(FtdiPort& from, FineTime at, ModemOutputs outputs) override;
    void PortDetached(FtdiPort& port, FineTime at) override;

private:
    FtdiPort* Other(const FtdiPort& from) const { return &from == m_a ? m_b : m_a; }

    FtdiPort* m_a;
    FtdiPort* m_b;
};

}  // namespace emu::devices
