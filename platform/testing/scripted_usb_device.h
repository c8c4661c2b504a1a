// A USB device model for tests: its descriptors made from a short description (vendor, product,
// interfaces and their endpoints), control requests answered by a handler the test sets, bulk IN
// endpoints fed from queued packets, bulk OUT endpoints collecting what the host sends into a
// buffer of limited room. Everything it was asked is logged.
//
// Calls from the host and from the test may come on different threads: the model guards its state
// and tells the host (Notify) when the test gave it something new to answer with.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device_model.h"

namespace emu::testing {

class ScriptedUsbDevice : public usb::DeviceModel {
public:
    struct Endpoint {
        uint8_t address = 0x81;
        uint8_t type = 2;  // bulk; 3 interrupt
        uint16_t maxPacketSize = 64;
        uint8_t interval = 0;
    };
    struct Interface {
        uint8_t number = 0;
        uint8_t alternateSetting = 0;
        uint8_t interfaceClass = 0xFF;
        uint8_t subClass = 0xFF;
        uint8_t protocol = 0xFF;
        uint8_t stringIndex = 0;
        std::vector<Endpoint> endpoints;
    };
    struct Description {
        uint16_t vendorId = 0x0403;
        uint16_t productId = 0x6001;
        uint16_t release = 0x0600;
        uint8_t deviceClass = 0;
        uint8_t maxPacketSize0 = 8;
        uint8_t configurationValue = 1;
        std::u16string manufacturer;
        std::u16string product;
        std::u16string serialNumber;
        std::vector<std::u16string> interfaceTexts;  // string indices 4, 5, ... in order
        std::vector<Interface> interfaces;
    };
    // One vendor-specific interface 0 with bulk IN 0x81 and bulk OUT 0x02 of 64 bytes.
    static Description SingleInterface(uint16_t vendorId, uint16_t productId);
    // Interfaces 0 and 1, each with its bulk IN and OUT pair (0x81/0x02, 0x83/0x04).
    static Description TwoInterfaces(uint16_t vendorId, uint16_t productId);

    struct ControlRecord {
        usb::SetupPacket setup;
        std::vector<uint8_t> out;
        usb::MachineTime at = 0;
    };
    using ControlHandler = std::function<usb::ControlReply(const usb::SetupPacket&, const std::vector<uint8_t>& out)>;

    explicit ScriptedUsbDevice(Description description);

    // ---- Scripting (any thread) ------------------------------------------------------------------
    // Answers vendor and class requests; without one, OUT requests are taken and IN requests get
    // wLength zero bytes.
    void SetControlHandler(ControlHandler handler);
    // The next IN slot of that endpoint gets this packet (as it is: a test may queue one longer than
    // wMaxPacketSize); `from`: not before that machine time (the model says when, as NextEvent).
    void QueueIn(uint8_t endpoint, std::vector<uint8_t> packet, usb::MachineTime from = 0);
    // The bytes as packets of the endpoint's wMaxPacketSize, the last one short (empty when the
    // bytes end on a packet boundary and `terminate` asks for it).
    void QueueInBytes(uint8_t endpoint, const std::vector<uint8_t>& bytes, bool terminate = false);
    // An endless supply of full packets (a device with more data than the bus takes).
    void FeedInForever(uint8_t endpoint, bool forever = true);
    // The endpoint answers every transaction with STALL (until set back).
    void SetStall(uint8_t endpoint, bool stall);
    // OUT: room for that many bytes (a packet that does not fit is refused); unlimited by default.
    void SetOutRoom(uint8_t endpoint, size_t bytes);
    // Takes what the host sent to the endpoint, which makes room again.
    std::vector<uint8_t> TakeOut(uint8_t endpoint);

    // ---- What happened ---------------------------------------------------------------------------
    std::vector<ControlRecord> ControlLog() const;
    size_t InPacketsGiven(uint8_t endpoint) const;
    size_t OutPacketsTaken(uint8_t endpoint) const;
    size_t Refusals() const;
    size_t PortResets() const;
    uint8_t ConfigurationValue() const;
    std::vector<uint8_t> HaltsCleared() const;
    bool IsAttached() const;

    // ---- usb::DeviceModel ------------------------------------------------------------------------
    std::vector<uint8_t> DeviceDescriptor() const override;
    std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) const override;
    std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language) const override;
    usb::ControlReply Control(const usb::SetupPacket& setup, std::span<const uint8_t> out, usb::MachineTime now) override;
    usb::Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, usb::MachineTime now) override;
    usb::InReply BulkIn(uint8_t endpoint, std::span<uint8_t> slot, usb::MachineTime now) override;
    std::optional<usb::MachineTime> NextEvent(usb::MachineTime now) const override;
    void Attached(usb::DeviceLink& link) override;
    void Detached() override;
    void PortReset(usb::MachineTime now) override;
    void ConfigurationSet(uint8_t value, usb::MachineTime now) override;
    void HaltCleared(uint8_t endpoint, usb::MachineTime now) override;

private:
    struct Queued {
        std::vector<uint8_t> packet;
        usb::MachineTime from = 0;
    };
    struct EndpointState {
        std::deque<Queued> in;
        bool forever = false;
        bool stall = false;
        std::vector<uint8_t> out;
        size_t outRoom = SIZE_MAX;
        size_t inGiven = 0;
        size_t outTaken = 0;
    };
    uint16_t MaxPacketSize(uint8_t endpoint) const;
    void Notify();

    const Description m_description;
    mutable std::mutex m_mutex;
    usb::DeviceLink* m_link = nullptr;
    ControlHandler m_handler;
    std::map<uint8_t, EndpointState> m_endpoints;
    std::vector<ControlRecord> m_controls;
    size_t m_refusals = 0;
    size_t m_portResets = 0;
    uint8_t m_configuration = 0;
    std::vector<uint8_t> m_haltsCleared;
};

}  // namespace emu::testing
