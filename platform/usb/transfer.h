// A transfer on its way across the bus, and the pipe it waits on. Both are the host's, guarded by
// the host's lock.
#pragma once

#include <usb.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "device_model.h"
#include "faults.h"

namespace emu::usb {

class UsbDevice;
struct Pipe;

enum class TransferState {
    Queued,    // on its pipe, moving packets as the bus allows
    Dropped,   // on its pipe, never to move (an injected fault)
    Delayed,   // done on the bus, its completion held back (an injected fault)
};

struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    UsbDevice* device = nullptr;
    Pipe* pipe = nullptr;
    RequestKind kind = RequestKind::Control;
    bool in = false;
    bool shortOk = false;
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    ULONG done = 0;
    ULONG* lengthField = nullptr;      // the URB's TransferBufferLength, told the bytes moved
    SetupPacket setup;                 // control transfers
    std::optional<std::vector<uint8_t>> scope;  // a composite function's interfaces, for its descriptors
    std::optional<Fault> fault;
    TransferState state = TransferState::Queued;
    bool cancelling = false;           // its cancel routine runs: only the routine completes it
    MachineTime eligibleFrom = 0;      // no packet moves before this machine time
    MachineTime completeAt = 0;        // Delayed: when its completion comes
    USBD_STATUS result = USBD_STATUS_PENDING;
};

struct Pipe {
    uintptr_t handle = 0;       // the USBD_PIPE_HANDLE value: unique, never reused
    uint8_t address = 0;        // 0: the default control pipe
    uint8_t type = 0;           // USB_ENDPOINT_TYPE_*
    uint16_t maxPacketSize = 8;
    uint8_t interval = 0;
    uint8_t interfaceNumber = 0;
    UsbDevice* device = nullptr;
    ULONG maximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    bool halted = false;        // an error halted it: nothing moves until a reset
    MachineTime retryAt = 0;    // refused (NAK): offered again no earlier than this
    int64_t lastFrame = -1;     // interrupt pipes: the frame of their last transaction
    std::deque<Transfer*> queue;
    bool active = false;        // listed with the scheduler's pipes that have transfers

    bool IsIn() const { return (address & 0x80) != 0; }
    bool IsControl() const { return type == 0; }
    // Frames between two transactions of an interrupt pipe (1 for the others).
    int64_t Period() const;
};

}  // namespace emu::usb
