// What the USB host sees of a device plugged into one of its ports: a full-speed device described
// by its descriptors (as bytes) that answers the host packet by packet.
//
// The host owns the bus and every standard request (descriptors, addresses, configurations, halt
// features); a model answers only what is its own:
//   - vendor and class control transfers, whole (setup, OUT data, IN answer or STALL);
//   - one bulk or interrupt OUT packet at a time (Ack takes it whole, Nak refuses it for now);
//   - one bulk or interrupt IN slot at a time (Ack with 0..wMaxPacketSize bytes, Nak, or Stall);
//   - "when may a refused answer change by itself", so the host need not ask again before then.
//
// Time is the machine clock's interrupt time in 100 ns units (KeQueryInterruptTime), passed in with
// every call: a model keeps no clock of its own and never sleeps, so it follows the machine clock
// whether that runs, is scaled, paused or jumped.
//
// Threads: the host calls a model from one thread at a time, with the host's lock held; the model
// must not call the host from inside a call except DeviceLink::Notify. A model also driven by a
// test thread (bytes arriving on a line) guards that state itself and calls Notify afterwards.
//
// Adapting a model: a device that "accepts what fits" of an OUT packet answers Nak unless the whole
// packet fits (the bus moves whole packets); one that buffers IN data answers each slot with up to
// wMaxPacketSize bytes, or fewer to end the transfer (a short packet); its time-driven events (a
// latency timer running out, a transmitter draining) go into NextEvent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emu::usb {

// Machine time: 100 ns units of the machine clock's interrupt time.
using MachineTime = int64_t;
inline constexpr MachineTime kMicrosecond = 10;
inline constexpr MachineTime kMillisecond = 10000;

// bmRequestType bits.
inline constexpr uint8_t kRequestDirectionIn = 0x80;
inline constexpr uint8_t kRequestTypeMask = 0x60;
inline constexpr uint8_t kRequestTypeStandard = 0x00;
inline constexpr uint8_t kRequestTypeClass = 0x20;
inline constexpr uint8_t kRequestTypeVendor = 0x40;
inline constexpr uint8_t kRequestRecipientMask = 0x1F;
inline constexpr uint8_t kRecipientDevice = 0;
inline constexpr uint8_t kRecipientInterface = 1;
inline constexpr uint8_t kRecipientEndpoint = 2;
inline constexpr uint8_t kRecipientOther = 3;

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    bool IsIn() const { return (requestType & kRequestDirectionIn) != 0; }
};

enum class Handshake {
    Ack,    // done (data taken, or given)
    Nak,    // not now: the host asks again later
    Stall,  // refused: a control request fails, a bulk or interrupt endpoint halts
};

struct ControlReply {
    Handshake handshake = Handshake::Ack;
    std::vector<uint8_t> data;  // the IN answer; the host uses at most wLength bytes of it

    static ControlReply Ack(std::vector<uint8_t> data = {}) { return {Handshake::Ack, std::move(data)}; }
    static ControlReply Nak() { return {Handshake::Nak, {}}; }
    static ControlReply Stall() { return {Handshake::Stall, {}}; }
};

struct InReply {
    Handshake handshake = Handshake::Nak;
    size_t length = 0;  // bytes written into the slot (Ack); fewer than wMaxPacketSize is a short packet

    static InReply Data(size_t length) { return {Handshake::Ack, length}; }
    static InReply Nak() { return {Handshake::Nak, 0}; }
    static InReply Stall() { return {Handshake::Stall, 0}; }
};

// The host's side of a plugged model.
class DeviceLink {
public:
    // Something changed that may turn a refusal into an answer (bytes arrived, a line changed,
    // buffer space freed): the host offers the device's waiting transfers again at the next
    // packet slot. Any thread, any time, any lock held; it never blocks.
    virtual void Notify() = 0;

protected:
    ~DeviceLink() = default;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // ---- Identity ----------------------------------------------------------------------------
    // The 18-byte device descriptor.
    virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
    // The whole configuration descriptor with that index (wTotalLength bytes: the configuration,
    // its interfaces and their endpoints); empty when there is none.
    virtual std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) const = 0;
    // String descriptor `index` in `language` (index 0: the language list); empty: none (STALL).
    virtual std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language) const { return {}; }

    // ---- Control pipe: vendor and class requests -------------------------------------------
    // `out` holds the OUT data stage (empty for IN requests).
    virtual ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> out, MachineTime now) = 0;

    // ---- Bulk and interrupt endpoints ------------------------------------------------------
    // One OUT packet of at most wMaxPacketSize bytes (a zero-length packet is empty). Ack takes
    // it whole, Nak refuses it (offered again later), Stall halts the endpoint.
    virtual Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, MachineTime now) = 0;
    // One IN slot of wMaxPacketSize bytes to write into.
    virtual InReply BulkIn(uint8_t endpoint, std::span<uint8_t> slot, MachineTime now) = 0;

    // ---- Scheduling --------------------------------------------------------------------------
    // The earliest machine time after `now` at which an answer refused now may change by itself
    // (a latency timer running out, a transmitter draining); nothing when only a Notify changes
    // it. Without an answer the host offers a refused transfer again once a frame.
    virtual std::optional<MachineTime> NextEvent(MachineTime now) const { return std::nullopt; }

    // ---- Bus events ----------------------------------------------------------------------------
    // Plugged into a port; the link stays valid until Detached.
    virtual void Attached(DeviceLink& link) {}
    virtual void Detached() {}
    // The port was reset (IOCTL_INTERNAL_USB_RESET_PORT).
    virtual void PortReset(MachineTime now) {}
    // SET_CONFIGURATION (0: unconfigured) and SET_INTERFACE, sent by the host on a selection.
    virtual void ConfigurationSet(uint8_t value, MachineTime now) {}
    virtual void InterfaceSet(uint8_t interfaceNumber, uint8_t alternateSetting, MachineTime now) {}
    // CLEAR_FEATURE(ENDPOINT_HALT) on a bulk or interrupt endpoint (a driver's reset pipe).
    virtual void HaltCleared(uint8_t endpoint, MachineTime now) {}
};

}  // namespace emu::usb
