#include "transfer_runner.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "usb_device.h"

namespace emu::usb {

namespace {

PacketResult Refused() { return PacketResult{true, false, USBD_STATUS_SUCCESS}; }
PacketResult Moved() { return PacketResult{}; }
PacketResult Finished(USBD_STATUS status) { return PacketResult{false, true, status}; }

std::vector<uint8_t> Descriptor(UsbDevice& device, const SetupPacket& setup,
                                const std::optional<std::vector<uint8_t>>& scope)
{
    const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.value);
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE: return device.Model().DeviceDescriptor();
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
        const ConfigurationInfo* configuration = device.Configuration(index);
        if (!configuration) return {};
        return scope ? configuration->OnlyInterfaces(*scope) : configuration->bytes;
    }
    case USB_STRING_DESCRIPTOR_TYPE: return device.Model().StringDescriptor(index, setup.index);
    default: return {};
    }
}

ControlReply EndpointFeature(UsbDevice& device, const SetupPacket& setup, bool set, MachineTime at)
{
    const uint8_t address = static_cast<uint8_t>(setup.index);
    if (setup.value != USB_FEATURE_ENDPOINT_STALL || (address & 0x0F) == 0) return ControlReply::Ack();
    if (set) {
        device.StallEndpointLocked(address);
    } else {
        device.ClearStall(address);
        device.Model().HaltCleared(address, at);
    }
    return ControlReply::Ack();
}

ControlReply Status(UsbDevice& device, const SetupPacket& setup)
{
    uint16_t status = 0;
    switch (setup.requestType & kRequestRecipientMask) {
    case kRecipientDevice: {
        const ConfigurationInfo* first = device.FirstConfiguration();
        if (first && (first->attributes & USB_CONFIG_SELF_POWERED)) status |= 1;
        break;
    }
    case kRecipientEndpoint:
        if (device.IsStalled(static_cast<uint8_t>(setup.index))) status |= 1;  // halted
        break;
    default: break;
    }
    return ControlReply::Ack({static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8)});
}

PacketResult RunControl(Transfer& transfer, MachineTime at)
{
    UsbDevice& device = *transfer.device;
    if (device.IsStalled(0)) {
        device.ClearStall(0);  // a protocol stall lasts one request
        return Finished(USBD_STATUS_STALL_PID);
    }
    const SetupPacket& setup = transfer.setup;
    ControlReply reply;
    if ((setup.requestType & kRequestTypeMask) == kRequestTypeStandard)
        reply = AnswerStandardRequest(device, setup, transfer.scope, at);
    else
        reply = device.Model().Control(
            setup, setup.IsIn() ? std::span<const uint8_t>() : std::span<const uint8_t>(transfer.buffer, transfer.length), at);
    if (reply.handshake == Handshake::Nak) return Refused();
    if (reply.handshake == Handshake::Stall) return Finished(USBD_STATUS_STALL_PID);
    if (!setup.IsIn()) {
        transfer.done = transfer.length;
        return Finished(USBD_STATUS_SUCCESS);
    }
    const size_t count = std::min<size_t>(reply.data.size(), transfer.length);
    if (count) std::memcpy(transfer.buffer, reply.data.data(), count);
    transfer.done = static_cast<ULONG>(count);
    // A short data stage ends the transfer; without USBD_SHORT_TRANSFER_OK the controller fails it.
    if (count < transfer.length && !transfer.shortOk) return Finished(USBD_STATUS_DATA_UNDERRUN);
    return Finished(USBD_STATUS_SUCCESS);
}

PacketResult RunOut(Transfer& transfer, MachineTime at)
{
    Pipe& pipe = *transfer.pipe;
    if (transfer.device->IsStalled(pipe.address)) return Finished(USBD_STATUS_STALL_PID);
    const ULONG size = std::min<ULONG>(pipe.maxPacketSize, transfer.length - transfer.done);
    const Handshake answer =
        transfer.device->Model().BulkOut(pipe.address, std::span<const uint8_t>(transfer.buffer + transfer.done, size), at);
    if (answer == Handshake::Nak) return Refused();
    if (answer == Handshake::Stall) return Finished(USBD_STATUS_STALL_PID);
    transfer.done += size;
    return transfer.done == transfer.length ? Finished(USBD_STATUS_SUCCESS) : Moved();
}

PacketResult RunIn(Transfer& transfer, MachineTime at)
{
    Pipe& pipe = *transfer.pipe;
    if (transfer.device->IsStalled(pipe.address)) return Finished(USBD_STATUS_STALL_PID);
    std::array<uint8_t, 1024> slot;
    const size_t slotSize = std::min<size_t>(pipe.maxPacketSize, slot.size());
    const InReply answer = transfer.device->Model().BulkIn(pipe.address, std::span<uint8_t>(slot.data(), slotSize), at);
    if (answer.handshake == Handshake::Nak) return Refused();
    if (answer.handshake == Handshake::Stall) return Finished(USBD_STATUS_STALL_PID);
    const size_t count = std::min(answer.length, slotSize);
    // More than the buffer has room for is babble: the controller stops with an error.
    if (count > transfer.length - transfer.done) return Finished(USBD_STATUS_DATA_OVERRUN);
    if (count) std::memcpy(transfer.buffer + transfer.done, slot.data(), count);
    transfer.done += static_cast<ULONG>(count);
    if (transfer.done == transfer.length) return Finished(USBD_STATUS_SUCCESS);
    if (count < pipe.maxPacketSize)
        return Finished(transfer.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN);
    return Moved();
}

}  // namespace

ControlReply AnswerStandardRequest(UsbDevice& device, const SetupPacket& setup,
                                   const std::optional<std::vector<uint8_t>>& scope, MachineTime at)
{
    const bool endpoint = (setup.requestType & kRequestRecipientMask) == kRecipientEndpoint;
    switch (setup.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        std::vector<uint8_t> bytes = Descriptor(device, setup, scope);
        if (bytes.empty()) return ControlReply::Stall();
        return ControlReply::Ack(std::move(bytes));
    }
    case USB_REQUEST_GET_STATUS: return Status(device, setup);
    case USB_REQUEST_CLEAR_FEATURE: return endpoint ? EndpointFeature(device, setup, false, at) : ControlReply::Ack();
    case USB_REQUEST_SET_FEATURE: return endpoint ? EndpointFeature(device, setup, true, at) : ControlReply::Ack();
    case USB_REQUEST_GET_CONFIGURATION: return ControlReply::Ack({device.ConfigurationValue().value_or(0)});
    case USB_REQUEST_GET_INTERFACE: {
        std::optional<uint8_t> alternate = device.AlternateSetting(static_cast<uint8_t>(setup.index));
        if (!alternate) return ControlReply::Stall();
        return ControlReply::Ack({*alternate});
    }
    default: return ControlReply::Stall();
    }
}

PacketResult RunPacket(Transfer& transfer, MachineTime at)
{
    if (transfer.kind == RequestKind::Control) return RunControl(transfer, at);
    if (transfer.in) return RunIn(transfer, at);
    return RunOut(transfer, at);
}

}  // namespace emu::usb
