#include "ftdi_chip.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace emu::devices {

ChipConfig ChipConfig::SinglePort() { return {}; }

ChipConfig ChipConfig::DualPort()
{
    ChipConfig config;
    config.identity.kind = ChipKind::DualPort;
    config.identity.productId = kDualPortProductId;
    return config;
}

ChipConfig ChipConfig::Refused()
{
    ChipConfig config;
    config.identity.productId = kRefusedProductId;
    return config;
}

FtdiChip::FtdiChip(ChipConfig config)
    : m_config(std::move(config)),
      m_descriptors(m_config.identity),
      m_standard(m_usb, m_descriptors, PortCountOf(m_config.identity.kind)),
      m_vendor(m_ports, [this](int port, std::string message) { RecordProtocolError(port, std::move(message)); })
{
    std::lock_guard lock(ModelLock());
    for (int i = 0; i < PortCountOf(m_config.identity.kind); ++i) {
        m_ports.push_back(
            std::make_unique<FtdiPort>(m_config.transmitBufferSize, m_config.receiveBufferSize, m_config.paced));
        if (i > 0) m_ports[i]->JoinDomainOf(*m_ports[0]);
    }
}

FtdiChip::~FtdiChip()
{
    std::lock_guard lock(ModelLock());
    m_ports.clear();  // each port leaves its cable and its domain
}

FineTime FtdiChip::Advance(Time now)
{
    LineDomain& domain = m_ports[0]->Domain();
    domain.AdvanceTo(ToFine(now));
    m_callTime = ToTime(domain.Now());
    return domain.Now();
}

void FtdiChip::Settle()
{
    LineDomain& domain = m_ports[0]->Domain();
    domain.AdvanceTo(domain.Now());  // what an action set off at this instant (an unpaced line)
}

ControlResult FtdiChip::Control(Time now, const SetupPacket& setup, std::span<const std::uint8_t> outData)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    RequestRecord record;
    record.time = m_callTime;
    record.setup = setup;
    record.outData.assign(outData.begin(), outData.end());
    ControlResult result;
    auto fault = m_controlFaults.extract(++m_controlCount);
    if (fault && fault.mapped().handshake != Handshake::Ack) {
        result.handshake = fault.mapped().handshake;
        record.injected = true;
    } else {
        result = Dispatch(at, setup, outData, record.port);
        if (fault && fault.mapped().truncateInTo && result.data.size() > *fault.mapped().truncateInTo) {
            result.data.resize(*fault.mapped().truncateInTo);
            record.injected = true;
        }
    }
    Settle();
    record.handshake = result.handshake;
    record.inData = result.data;
    if (m_config.keepRequestLog) m_requestLog.push_back(std::move(record));
    return result;
}

ControlResult FtdiChip::Dispatch(FineTime at, const SetupPacket& setup, std::span<const std::uint8_t> outData,
                                 int& port)
{
    const std::uint8_t type = setup.requestType & usb::kTypeMask;
    const std::uint8_t recipient = setup.requestType & usb::kRecipientMask;
    if (type == usb::kTypeStandard) return m_standard.Handle(setup);
    if (type == usb::kTypeVendor &&
        (recipient == usb::kRecipientDevice || recipient == usb::kRecipientInterface))
        return m_vendor.Handle(at, setup, outData, port);
    RecordProtocolError(0, "control request of a type or recipient the chip does not serve: bmRequestType " +
                               HexText(setup.requestType));
    return {Handshake::Stall, {}};
}

FtdiPort* FtdiChip::EndpointPort(std::uint8_t endpoint)
{
    const std::optional<int> port = PortOfEndpoint(endpoint, PortCount());
    return port ? m_ports[static_cast<std::size_t>(*port - 1)].get() : nullptr;
}

FtdiPort* FtdiChip::BulkPort(std::uint8_t endpoint, bool in)
{
    const std::optional<int> port = PortOfEndpoint(endpoint, PortCount());
    if (!port || endpoint != (in ? InEndpointOf(*port) : OutEndpointOf(*port))) {
        RecordProtocolError(0, std::string(in ? "bulk IN" : "bulk OUT") + " on endpoint " + HexText(endpoint) +
                                   ", which the chip does not have");
        return nullptr;
    }
    if (m_usb.configuration == 0) {
        RecordProtocolError(*port, "bulk traffic on endpoint " + HexText(endpoint) + " while not configured");
        return nullptr;
    }
    return m_ports[static_cast<std::size_t>(*port - 1)].get();
}

std::optional<Handshake> FtdiChip::TakeBulkFault(std::uint8_t endpoint)
{
    const std::uint64_t ordinal = ++m_bulkCounts[endpoint];
    auto faults = m_bulkFaults.find(endpoint);
    if (faults == m_bulkFaults.end()) return std::nullopt;
    auto fault = faults->second.extract(ordinal);
    if (!fault) return std::nullopt;
    if (fault.mapped() == Handshake::Stall) m_usb.haltedEndpoints.insert(endpoint);
    return fault.mapped();
}

BulkOutResult FtdiChip::BulkOut(Time now, std::uint8_t endpoint, std::span<const std::uint8_t> data)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    FtdiPort* port = BulkPort(endpoint, false);
    if (!port) return {Handshake::NoResponse, 0};
    if (m_usb.haltedEndpoints.count(endpoint)) return {Handshake::Stall, 0};
    if (port->TransmitRoom() < std::min(usb::kFullSpeedBulkPacket, data.size())) return {Handshake::Nak, 0};
    if (auto fault = TakeBulkFault(endpoint)) return {*fault, 0};
    std::size_t accepted = 0;
    while (accepted < data.size()) {
        const std::size_t packet = std::min(usb::kFullSpeedBulkPacket, data.size() - accepted);
        if (port->TransmitRoom() < packet) break;
        port->OfferTransmit(at, data.subspan(accepted, packet));
        accepted += packet;
        Settle();
    }
    return {Handshake::Ack, accepted};
}

BulkInResult FtdiChip::BulkIn(Time now, std::uint8_t endpoint)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    FtdiPort* port = BulkPort(endpoint, true);
    if (!port) return {Handshake::NoResponse, {}};
    if (m_usb.haltedEndpoints.count(endpoint)) return {Handshake::Stall, {}};
    auto& scripted = m_scriptedPackets[endpoint];
    if (scripted.empty() && !port->PacketDue(at)) return {Handshake::Nak, {}};
    if (auto fault = TakeBulkFault(endpoint)) return {*fault, {}};
    if (!scripted.empty()) {
        BulkInResult result{Handshake::Ack, std::move(scripted.front())};
        scripted.pop_front();
        return result;
    }
    BulkInResult result{Handshake::Ack, port->TakePacket(at)};
    Settle();
    return result;
}

void FtdiChip::BusReset(Time now)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    m_usb = UsbDeviceState{};
    if (m_config.busResetRestoresSettings) {
        for (auto& port : m_ports) port->RestorePowerOnSettings(at);
    }
    Settle();
}

void FtdiChip::RestorePowerOnSettings(Time now)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    for (auto& port : m_ports) port->RestorePowerOnSettings(at);
    Settle();
}

Time FtdiChip::NextEventTime(Time now)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    FineTime next = m_ports[0]->Domain().NextEvent();
    for (const auto& port : m_ports) next = std::min(next, port->PacketDueTime(at));
    return ToTime(next);
}

Time FtdiChip::InPacketTime(Time now, std::uint8_t endpoint)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    const FtdiPort* port = EndpointPort(endpoint);
    if (!port) return kNever;
    return ToTime(std::min(port->PacketDueTime(at), port->Domain().NextEvent()));
}

Time FtdiChip::OutRoomTime(Time now, std::uint8_t endpoint)
{
    std::lock_guard lock(ModelLock());
    const FineTime at = Advance(now);
    const FtdiPort* port = EndpointPort(endpoint);
    return port ? ToTime(port->TransmitRoomTime(at, usb::kFullSpeedBulkPacket)) : kNever;
}

PortState FtdiChip::Port(Time now, int port)
{
    std::lock_guard lock(ModelLock());
    Advance(now);
    return LinePort(port).State();
}

bool FtdiChip::Configured() const
{
    std::lock_guard lock(ModelLock());
    return m_usb.configuration != 0;
}

std::vector<RequestRecord> FtdiChip::RequestLog() const
{
    std::lock_guard lock(ModelLock());
    return m_requestLog;
}

void FtdiChip::ClearRequestLog()
{
    std::lock_guard lock(ModelLock());
    m_requestLog.clear();
}

std::vector<ProtocolError> FtdiChip::ProtocolErrors() const
{
    std::lock_guard lock(ModelLock());
    return m_protocolErrors;
}

void FtdiChip::ClearProtocolErrors()
{
    std::lock_guard lock(ModelLock());
    m_protocolErrors.clear();
}

void FtdiChip::InjectControlFault(unsigned nth, ControlFault fault)
{
    std::lock_guard lock(ModelLock());
    m_controlFaults[m_controlCount + nth] = fault;
}

void FtdiChip::InjectBulkFault(std::uint8_t endpoint, unsigned nth, Handshake handshake)
{
    std::lock_guard lock(ModelLock());
    m_bulkFaults[endpoint][m_bulkCounts[endpoint] + nth] = handshake;
}

void FtdiChip::ScriptInPackets(std::uint8_t endpoint, std::vector<std::vector<std::uint8_t>> packets)
{
    std::lock_guard lock(ModelLock());
    auto& queue = m_scriptedPackets[endpoint];
    for (auto& packet : packets) {
        if (packet.size() > usb::kFullSpeedBulkPacket) packet.resize(usb::kFullSpeedBulkPacket);
        queue.push_back(std::move(packet));
    }
}

void FtdiChip::StallEndpoint(std::uint8_t endpoint)
{
    std::lock_guard lock(ModelLock());
    m_usb.haltedEndpoints.insert(endpoint);
}

bool FtdiChip::EndpointStalled(std::uint8_t endpoint) const
{
    std::lock_guard lock(ModelLock());
    return m_usb.haltedEndpoints.count(endpoint) != 0;
}

FtdiPort& FtdiChip::LinePort(int port)
{
    if (port < 1 || port > PortCount()) throw std::out_of_range("the chip has no port " + std::to_string(port));
    return *m_ports[static_cast<std::size_t>(port - 1)];
}

void FtdiChip::RecordProtocolError(int port, std::string message)
{
    m_protocolErrors.push_back({m_callTime, port, std::move(message)});
}

}  // namespace emu::devices
