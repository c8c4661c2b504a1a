// One bus transaction of a transfer against its device: one bulk or interrupt packet, or a whole
// control transfer (setup, data, status in one slot). Standard requests are the host's to answer
// (from the model's descriptors and the host's own state); vendor and class requests go to the
// model. Called with the host's lock held.
#pragma once

#include <usb.h>

#include <span>

#include "device_model.h"
#include "transfer.h"

namespace emu::usb {

class UsbDevice;

struct PacketResult {
    bool refused = false;   // NAK: nothing moved, ask again later
    bool finished = false;  // the transfer is done, with `status`
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

PacketResult RunPacket(Transfer& transfer, MachineTime at);

// The answer to a standard request, as the host gives it for the device (a composite function
// sees its own interfaces only in its configuration descriptor).
ControlReply AnswerStandardRequest(UsbDevice& device, const SetupPacket& setup,
                                   const std::optional<std::vector<uint8_t>>& scope, MachineTime at);

}  // namespace emu::usb
