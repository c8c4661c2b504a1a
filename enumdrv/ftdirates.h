// The FTDI chip's rate arithmetic, free of any port state: the baud divisor search, the two
// latency policies, the character time and rate, and the size of the next receive transfer.
// Everything is computed in 64 bits; user-settable inputs are clamped to the ranges the formulas
// hold for.
#pragma once

#include <wdm.h>

// The chip's base clock: divisor 1 of the sub-integer search.
#define FTDI_BASE_CLOCK 3000000UL
// The two rates the chip encodes with divisor values 0 and 1.
#define FTDI_RATE_DIVISOR_0 3000000UL
#define FTDI_RATE_DIVISOR_1 2000000UL
// Largest divisor the 14-bit field holds.
#define FTDI_MAXIMUM_DIVISOR 0x3FFF
// Latency policies (bus parameter PolicyType).
#define FTDI_POLICY_SPECIFIC_LATENCY_TIME 0
#define FTDI_POLICY_LOW_CPU_USAGE 1
// Bulk IN transfer sizes and latency timer bounds.
#define FTDI_PACKET_SIZE 64
#define FTDI_PACKET_DATA 62
#define FTDI_MAXIMUM_RX_TRANSFER 4096
#define FTDI_MAXIMUM_LATENCY_MS 255
// Largest receive FIFO allowance the sizing accepts.
#define FTDI_MAXIMUM_RX_FIFO 4096

// The SET_BAUD_RATE words of a rate.
typedef struct _FTDI_BAUD_WORDS {
    USHORT usValue;
    USHORT usIndex;
} FTDI_BAUD_WORDS, *PFTDI_BAUD_WORDS;

// The divisor search: FALSE for 0, for rates above the chip's or ulMaximumRate, for rates no
// divisor meets within 1 %, and for divisors outside 2 .. 0x3FFF (save the two encoded rates).
// usPortIndex goes into the low byte of wIndex on a multi-interface chip.
BOOLEAN FtdiCalculateBaudDivisor(ULONG ulRate, ULONG ulMaximumRate, BOOLEAN bMultiInterface, USHORT usPortIndex,
                                 PFTDI_BAUD_WORDS pWords);

// A latency policy's answer: the chip's latency timer and the bulk IN transfer size.
typedef struct _FTDI_LATENCY {
    ULONG ulLatency;
    ULONG ulRxTransferSize;
} FTDI_LATENCY, *PFTDI_LATENCY;

BOOLEAN FtdiLowCpuUsage(ULONG ulRate, ULONG ulFineTuning, PFTDI_LATENCY pResult);
BOOLEAN FtdiSpecificLatencyTime(ULONG ulMaximumLatency, ULONG ulRate, ULONG ulFineTuning, PFTDI_LATENCY pResult);

// Frame arithmetic from the line-setting codes (data bits 0..3 = 5..8, parity 0 none, stop 2 two).
// Character time in 100 ns (the per-bit time rounded up), and whole characters per millisecond
// plus one. A rate of 0 counts as 115200.
ULONGLONG FtdiCharacterTime(ULONG ulRate, UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode);
ULONG FtdiCharactersPerMillisecond(ULONG ulRate, UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode);

// The next bulk IN size from the port driver's free room, the bytes just received and the FIFO
// allowance; *pbSuspend when the room is too small to receive more now.
ULONG FtdiNextRxTransferSize(ULONG ulFree, ULONG ulReceived, ULONG ulFifoSize, ULONG ulRxTransferSize,
                             PBOOLEAN pbSuspend);
