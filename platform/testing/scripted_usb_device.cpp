#include "scripted_usb_device.h"

#include <algorithm>
#include <cstring>

namespace emu::testing {

using usb::ControlReply;
using usb::Handshake;
using usb::InReply;
using usb::MachineTime;
using usb::SetupPacket;

namespace {

constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr uint8_t kFirstInterfaceTextIndex = 4;

void PutWord(std::vector<uint8_t>& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> StringBytes(const std::u16string& text)
{
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + text.size() * 2), 3};
    for (char16_t c : text) PutWord(bytes, static_cast<uint16_t>(c));
    return bytes;
}

ScriptedUsbDevice::Interface BulkPair(uint8_t number, uint8_t in, uint8_t out)
{
    ScriptedUsbDevice::Interface interface;
    interface.number = number;
    interface.endpoints = {{in, 2, 64, 0}, {out, 2, 64, 0}};
    return interface;
}

}  // namespace

ScriptedUsbDevice::Description ScriptedUsbDevice::SingleInterface(uint16_t vendorId, uint16_t productId)
{
    Description description;
    description.vendorId = vendorId;
    description.productId = productId;
    description.product = u"Scripted USB device";
    description.interfaces = {BulkPair(0, 0x81, 0x02)};
    return description;
}

ScriptedUsbDevice::Description ScriptedUsbDevice::TwoInterfaces(uint16_t vendorId, uint16_t productId)
{
    Description description = SingleInterface(vendorId, productId);
    description.release = 0x0700;
    description.interfaces = {BulkPair(0, 0x81, 0x02), BulkPair(1, 0x83, 0x04)};
    return description;
}

ScriptedUsbDevice::ScriptedUsbDevice(Description description) : m_description(std::move(description))
{
    for (const Interface& interface : m_description.interfaces)
        for (const Endpoint& endpoint : interface.endpoints) m_endpoints[endpoint.address];
}

// ---- Scripting ------------------------------------------------------------------------------------

void ScriptedUsbDevice::SetControlHandler(ControlHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void ScriptedUsbDevice::QueueIn(uint8_t endpoint, std::vector<uint8_t> packet, MachineTime from)
{
    std::lock_guard lock(m_mutex);
    m_endpoints[endpoint].in.push_back(Queued{std::move(packet), from});
    Notify();
}

void ScriptedUsbDevice::QueueInBytes(uint8_t endpoint, const std::vector<uint8_t>& bytes, bool terminate)
{
    const size_t size = MaxPacketSize(endpoint);
    std::lock_guard lock(m_mutex);
    EndpointState& state = m_endpoints[endpoint];
    size_t at = 0;
    for (; bytes.size() - at >= size; at += size)
        state.in.push_back(Queued{std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + size), 0});
    if (at < bytes.size() || terminate) state.in.push_back(Queued{std::vector<uint8_t>(bytes.begin() + at, bytes.end()), 0});
    Notify();
}

void ScriptedUsbDevice::FeedInForever(uint8_t endpoint, bool forever)
{
    std::lock_guard lock(m_mutex);
    m_endpoints[endpoint].forever = forever;
    Notify();
}

void ScriptedUsbDevice::SetStall(uint8_t endpoint, bool stall)
{
    std::lock_guard lock(m_mutex);
    m_endpoints[endpoint].stall = stall;
    Notify();
}

void ScriptedUsbDevice::SetOutRoom(uint8_t endpoint, size_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_endpoints[endpoint].outRoom = bytes;
    Notify();
}

std::vector<uint8_t> ScriptedUsbDevice::TakeOut(uint8_t endpoint)
{
    std::lock_guard lock(m_mutex);
    EndpointState& state = m_endpoints[endpoint];
    std::vector<uint8_t> taken;
    taken.swap(state.out);
    if (state.outRoom != SIZE_MAX) state.outRoom += taken.size();
    Notify();
    return taken;
}

void ScriptedUsbDevice::Notify()
{
    if (m_link) m_link->Notify();
}

uint16_t ScriptedUsbDevice::MaxPacketSize(uint8_t endpoint) const
{
    for (const Interface& interface : m_description.interfaces)
        for (const Endpoint& candidate : interface.endpoints)
            if (candidate.address == endpoint) return candidate.maxPacketSize;
    return 64;
}

// ---- What happened --------------------------------------------------------------------------------

std::vector<ScriptedUsbDevice::ControlRecord> ScriptedUsbDevice::ControlLog() const
{
    std::lock_guard lock(m_mutex);
    return m_controls;
}

size_t ScriptedUsbDevice::InPacketsGiven(uint8_t endpoint) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_endpoints.find(endpoint);
    return it == m_endpoints.end() ? 0 : it->second.inGiven;
}

size_t ScriptedUsbDevice::OutPacketsTaken(uint8_t endpoint) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_endpoints.find(endpoint);
    return it == m_endpoints.end() ? 0 : it->second.outTaken;
}

size_t ScriptedUsbDevice::Refusals() const
{
    std::lock_guard lock(m_mutex);
    return m_refusals;
}

size_t ScriptedUsbDevice::PortResets() const
{
    std::lock_guard lock(m_mutex);
    return m_portResets;
}

uint8_t ScriptedUsbDevice::ConfigurationValue() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

std::vector<uint8_t> ScriptedUsbDevice::HaltsCleared() const
{
    std::lock_guard lock(m_mutex);
    return m_haltsCleared;
}

bool ScriptedUsbDevice::IsAttached() const
{
    std::lock_guard lock(m_mutex);
    return m_link != nullptr;
}

// ---- usb::DeviceModel -------------------------------------------------------------------------------

std::vector<uint8_t> ScriptedUsbDevice::DeviceDescriptor() const
{
    const Description& d = m_description;
    std::vector<uint8_t> bytes{18, 1};
    PutWord(bytes, 0x0110);
    bytes.insert(bytes.end(), {d.deviceClass, 0, 0, d.maxPacketSize0});
    PutWord(bytes, d.vendorId);
    PutWord(bytes, d.productId);
    PutWord(bytes, d.release);
    bytes.push_back(d.manufacturer.empty() ? 0 : kManufacturerIndex);
    bytes.push_back(d.product.empty() ? 0 : kProductIndex);
    bytes.push_back(d.serialNumber.empty() ? 0 : kSerialIndex);
    bytes.push_back(1);
    return bytes;
}

std::vector<uint8_t> ScriptedUsbDevice::ConfigurationDescriptor(uint8_t index) const
{
    if (index != 0) return {};
    std::vector<uint8_t> numbers;
    for (const Interface& interface : m_description.interfaces)
        if (std::find(numbers.begin(), numbers.end(), interface.number) == numbers.end()) numbers.push_back(interface.number);
    std::vector<uint8_t> bytes{9, 2, 0, 0, static_cast<uint8_t>(numbers.size()), m_description.configurationValue, 0, 0x80, 50};
    for (const Interface& interface : m_description.interfaces) {
        bytes.insert(bytes.end(), {9, 4, interface.number, interface.alternateSetting,
                                   static_cast<uint8_t>(interface.endpoints.size()), interface.interfaceClass,
                                   interface.subClass, interface.protocol, interface.stringIndex});
        for (const Endpoint& endpoint : interface.endpoints) {
            bytes.insert(bytes.end(), {7, 5, endpoint.address, endpoint.type});
            PutWord(bytes, endpoint.maxPacketSize);
            bytes.push_back(endpoint.interval);
        }
    }
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

std::vector<uint8_t> ScriptedUsbDevice::StringDescriptor(uint8_t index, uint16_t language) const
{
    const Description& d = m_description;
    if (index == 0) return {4, 3, 0x09, 0x04};
    const std::u16string* text = nullptr;
    if (index == kManufacturerIndex) text = &d.manufacturer;
    if (index == kProductIndex) text = &d.product;
    if (index == kSerialIndex) text = &d.serialNumber;
    if (index >= kFirstInterfaceTextIndex && index - kFirstInterfaceTextIndex < static_cast<int>(d.interfaceTexts.size()))
        text = &d.interfaceTexts[index - kFirstInterfaceTextIndex];
    if (!text || text->empty()) return {};
    return StringBytes(*text);
}

ControlReply ScriptedUsbDevice::Control(const SetupPacket& setup, std::span<const uint8_t> out, MachineTime now)
{
    std::lock_guard lock(m_mutex);
    std::vector<uint8_t> data(out.begin(), out.end());
    m_controls.push_back(ControlRecord{setup, data, now});
    if (m_handler) return m_handler(setup, data);
    if (setup.IsIn()) return ControlReply::Ack(std::vector<uint8_t>(setup.length, 0));
    return ControlReply::Ack();
}

Handshake ScriptedUsbDevice::BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, MachineTime)
{
    std::lock_guard lock(m_mutex);
    EndpointState& state = m_endpoints[endpoint];
    if (state.stall) return Handshake::Stall;
    if (state.outRoom != SIZE_MAX && packet.size() > state.outRoom - std::min(state.outRoom, state.out.size())) {
        ++m_refusals;
        return Handshake::Nak;
    }
    state.out.insert(state.out.end(), packet.begin(), packet.end());
    ++state.outTaken;
    return Handshake::Ack;
}

InReply ScriptedUsbDevice::BulkIn(uint8_t endpoint, std::span<uint8_t> slot, MachineTime now)
{
    std::lock_guard lock(m_mutex);
    EndpointState& state = m_endpoints[endpoint];
    if (state.stall) return InReply::Stall();
    if (state.forever) {
        std::fill(slot.begin(), slot.end(), static_cast<uint8_t>(state.inGiven));
        ++state.inGiven;
        return InReply::Data(slot.size());
    }
    if (state.in.empty() || state.in.front().from > now) {
        ++m_refusals;
        return InReply::Nak();
    }
    std::vector<uint8_t> packet = std::move(state.in.front().packet);
    state.in.pop_front();
    if (!packet.empty()) std::memcpy(slot.data(), packet.data(), std::min(packet.size(), slot.size()));
    ++state.inGiven;
    return InReply::Data(packet.size());
}

std::optional<MachineTime> ScriptedUsbDevice::NextEvent(MachineTime now) const
{
    std::lock_guard lock(m_mutex);
    std::optional<MachineTime> next;
    for (const auto& [address, state] : m_endpoints)
        if (!state.in.empty() && state.in.front().from > now && (!next || state.in.front().from < *next))
            next = state.in.front().from;
    return next;
}

void ScriptedUsbDevice::Attached(usb::DeviceLink& link)
{
    std::lock_guard lock(m_mutex);
    m_link = &link;
}

void ScriptedUsbDevice::Detached()
{
    std::lock_guard lock(m_mutex);
    m_link = nullptr;
}

void ScriptedUsbDevice::PortReset(MachineTime)
{
    std::lock_guard lock(m_mutex);
    ++m_portResets;
}

void ScriptedUsbDevice::ConfigurationSet(uint8_t value, MachineTime)
{
    std::lock_guard lock(m_mutex);
    m_configuration = value;
}

void ScriptedUsbDevice::HaltCleared(uint8_t endpoint, MachineTime)
{
    std::lock_guard lock(m_mutex);
    m_haltsCleared.push_back(endpoint);
}

}  // namespace emu::testing
