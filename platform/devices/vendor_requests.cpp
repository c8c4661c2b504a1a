#include "vendor_requests.h"

#include "request_log.h"

namespace emu::devices {

namespace {

constexpr std::uint16_t kCharacterEnable = 0x100;

bool IsInRequest(std::uint8_t request)
{
    return request == vendor::kGetModemStatus || request == vendor::kGetLatencyTimer;
}

bool IsKnownRequest(std::uint8_t request)
{
    return request <= vendor::kSetErrorChar || request == vendor::kSetLatencyTimer ||
           request == vendor::kGetLatencyTimer;
}

}  // namespace

ControlResult VendorRequests::Handle(FineTime at, const SetupPacket& setup, std::span<const std::uint8_t> outData,
                                     int& port)
{
    port = 0;
    if (!IsKnownRequest(setup.request)) return Refuse(0, "unknown vendor request " + std::to_string(setup.request));
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    if (in != IsInRequest(setup.request))
        return Refuse(0, "vendor request " + std::to_string(setup.request) + " in the wrong direction");
    port = DecodePort(setup);
    if (port == 0) return Refuse(0, "vendor request addresses no port: wIndex " + HexText(setup.index));
    if (!in && (setup.length != 0 || !outData.empty()))
        Note(port, "vendor request " + std::to_string(setup.request) + " carries data it does not take");
    return Dispatch(at, setup, *m_ports[static_cast<std::size_t>(port - 1)], port);
}

int VendorRequests::DecodePort(const SetupPacket& setup) const
{
    const int low = setup.index & 0xFF;
    if (!MultiPort()) return low <= 1 ? 1 : 0;
    return low >= 1 && low <= static_cast<int>(m_ports.size()) ? low : 0;
}

ControlResult VendorRequests::Refuse(int port, std::string message)
{
    Note(port, std::move(message));
    return {Handshake::Stall, {}};
}

void VendorRequests::CheckUnusedIndexBits(const SetupPacket& setup, int port)
{
    if ((setup.index >> 8) != 0)
        Note(port, "vendor request " + std::to_string(setup.request) + " sets unused wIndex bits: " + HexText(setup.index));
}

ControlResult VendorRequests::Dispatch(FineTime at, const SetupPacket& setup, FtdiPort& target, int port)
{
    if (setup.request != vendor::kSetFlowControl && setup.request != vendor::kSetBaudRate)
        CheckUnusedIndexBits(setup, port);
    switch (setup.request) {
    case vendor::kReset:
        return Reset(at, setup, target, port);
    case vendor::kModemControl:
        if ((setup.value & 0xFCFC) != 0) Note(port, "MODEM_CTRL sets unused bits: " + HexText(setup.value));
        target.SetModemControl(at, static_cast<std::uint8_t>(setup.value >> 8),
                               static_cast<std::uint8_t>(setup.value & 0xFF));
        return {};
    case vendor::kSetFlowControl:
        return SetFlowControl(at, setup, target, port);
    case vendor::kSetBaudRate:
        return SetBaudRate(setup, target, port);
    case vendor::kSetData:
        return SetData(at, setup, target, port);
    case vendor::kGetModemStatus: {
        const auto bytes = target.StatusBytes();
        return ControlAnswer(setup, {bytes[0], bytes[1]});
    }
    case vendor::kSetEventChar:
        target.SetEventCharacter(DecodeCharacter(setup, port));
        return {};
    case vendor::kSetErrorChar:
        target.SetErrorCharacter(DecodeCharacter(setup, port));
        return {};
    case vendor::kSetLatencyTimer:
        return SetLatency(setup, target, port);
    case vendor::kGetLatencyTimer:
        return ControlAnswer(setup, {target.Settings().latencyMs});
    }
    return Refuse(port, "unknown vendor request " + std::to_string(setup.request));
}

ControlResult VendorRequests::Reset(FineTime at, const SetupPacket& setup, FtdiPort& target, int port)
{
    switch (setup.value) {
    case 0:
        target.Reset(at, FtdiPort::ResetKind::Port);
        return {};
    case 1:
        target.Reset(at, FtdiPort::ResetKind::TransmitBuffer);
        return {};
    case 2:
        target.Reset(at, FtdiPort::ResetKind::ReceiveBuffer);
        return {};
    default:
        return Refuse(port, "RESET with wValue " + HexText(setup.value));
    }
}

ControlResult VendorRequests::SetBaudRate(const SetupPacket& setup, FtdiPort& target, int port)
{
    const unsigned codeBitMask = MultiPort() ? 0x100 : 0x001;
    const unsigned portBits = MultiPort() ? 0x00FF : 0;
    if ((setup.index & ~(codeBitMask | portBits)) != 0)
        Note(port, "SET_BAUD_RATE sets unused wIndex bits: " + HexText(setup.index));
    const BaudDivisor divisor = DecodeBaudDivisor(setup.value, (setup.index & codeBitMask) != 0);
    if (!divisor.valid)
        Note(port, "SET_BAUD_RATE with a sub-integer divisor below 2: wValue " + HexText(setup.value) + ", wIndex " +
                       HexText(setup.index));
    target.SetBaudDivisor(divisor);
    return {};
}

ControlResult VendorRequests::SetData(FineTime at, const SetupPacket& setup, FtdiPort& target, int port)
{
    const std::optional<LineSettings> line = DecodeDataWord(setup.value);
    if (!line) return Refuse(port, "SET_DATA with an invalid word: " + HexText(setup.value));
    target.SetLineSettings(at, *line);
    return {};
}

ControlResult VendorRequests::SetFlowControl(FineTime at, const SetupPacket& setup, FtdiPort& target, int port)
{
    const unsigned modes = setup.index >> 8;
    constexpr unsigned kKnownModes = FlowControl::kRtsCts | FlowControl::kDtrDsr | FlowControl::kXonXoff;
    if ((modes & ~kKnownModes) != 0) Note(port, "SET_FLOW_CTRL sets unused wIndex bits: " + HexText(setup.index));
    FlowControl flow;
    flow.rtsCts = (modes & FlowControl::kRtsCts) != 0;
    flow.dtrDsr = (modes & FlowControl::kDtrDsr) != 0;
    flow.xonXoff = (modes & FlowControl::kXonXoff) != 0;
    flow.xon = static_cast<std::uint8_t>(setup.value & 0xFF);
    flow.xoff = static_cast<std::uint8_t>(setup.value >> 8);
    target.SetFlowControl(at, flow);
    return {};
}

SpecialCharacter VendorRequests::DecodeCharacter(const SetupPacket& setup, int port)
{
    if ((setup.value & ~(kCharacterEnable | 0xFFu)) != 0)
        Note(port, "vendor request " + std::to_string(setup.request) + " sets unused wValue bits: " + HexText(setup.value));
    return {static_cast<std::uint8_t>(setup.value & 0xFF), (setup.value & kCharacterEnable) != 0};
}

ControlResult VendorRequests::SetLatency(const SetupPacket& setup, FtdiPort& target, int port)
{
    if (setup.value < 1 || setup.value > 255)
        return Refuse(port, "SET_LATENCY_TIMER with " + std::to_string(setup.value) + " ms (1 to 255)");
    target.SetLatency(static_cast<std::uint8_t>(setup.value));
    return {};
}

}  // namespace emu::devices
