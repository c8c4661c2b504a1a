// Configuration interface of the framework's devices: the control codes the property pages send
// on a handle opened through the device interface, and the header that starts every request.
// Shared by the drivers and user mode; the includer provides ULONG (<wdm.h> or <windows.h>).
#pragma once

// Interface classes registered by the two drivers.
// Port driver: {429D4669-CDFF-4B62-B0DC-BDCEA76ABD31}
#define TF_PORT_INTERFACE_GUID_WORDS 0x429D4669UL, 0x4B62CDFFUL, 0xCEBDDCB0UL, 0x31BD6AA7UL
// Bus driver: {862AB446-2AA7-4B60-8945-F579C09F36CB}
#define TF_BUS_INTERFACE_GUID_WORDS 0x862AB446UL, 0x4B602AA7UL, 0x79F54589UL, 0xCB369FC0UL

// Device type 0x8001, functions 0x800 upward, METHOD_BUFFERED, read and write access:
// (0x8001 << 16) | (3 << 14) | (function << 2) | 0.
#define IOCTL_TF_USERMODE_GET_SIZE 0x8001E000UL           // out: 4 bytes, serialised size of the set
#define IOCTL_TF_USERMODE_GET_SET 0x8001E004UL            // out: the serialised set
#define IOCTL_TF_USERMODE_SET_SET 0x8001E008UL            // in: header + serialised set
#define IOCTL_TF_USERMODE_RESET_TO_DEFAULTS 0x8001E00CUL  // no output
#define IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE 0x8001E010UL  // out: 4 bytes, serialised size of the defaults
#define IOCTL_TF_USERMODE_GET_DEFAULTS 0x8001E014UL       // out: the serialised defaults

// Forwarding counts: 0 is answered by the device that receives it, 1 is passed once to the
// driver below; anything larger is refused.
#define TF_USERMODE_ANSWER_HERE 0
#define TF_USERMODE_FORWARD_ONCE 1
#define TF_USERMODE_MAX_FORWARD_COUNT 1

// Set index that means "the device's own set".
#define TF_USERMODE_DEFAULT_SET_INDEX 0xFFFFFFFFUL

// Start of the input buffer of every code, little-endian; SET_SET's payload follows it.
typedef struct _TF_USERMODE_REQUEST_HEADER {
    ULONG ulForwardCount;
    ULONG ulSetIndex;
} TF_USERMODE_REQUEST_HEADER, *PTF_USERMODE_REQUEST_HEADER;

#define TF_USERMODE_REQUEST_HEADER_SIZE 8
