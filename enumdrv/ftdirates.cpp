// The FTDI chip's rate arithmetic (see ftdirates.h).
#include "ftdirates.h"

#include "tfdebug.h"

namespace {

const UCHAR g_aucEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
// Milliseconds that one packet's 62 data bytes of 10 bits take at 1 baud.
const ULONGLONG g_ullPacketTimeAtOneBaud = 620000;

ULONGLONG Distance(ULONGLONG a, ULONGLONG b)
{
    return a > b ? a - b : b - a;
}

// Within 1 % of the target rate.
BOOLEAN Near(ULONGLONG ullRate, ULONGLONG ullTarget)
{
    return Distance(ullRate, ullTarget) * 100 <= ullTarget;
}

ULONG Clamp(ULONGLONG ullValue, ULONG ulLow, ULONG ulHigh)
{
    return ullValue < ulLow ? ulLow : ullValue > ulHigh ? ulHigh : (ULONG)ullValue;
}

void SetWords(PFTDI_BAUD_WORDS pWords, ULONG ulDivisor, ULONG ulCode, BOOLEAN bMultiInterface, USHORT usPortIndex)
{
    pWords->usValue = (USHORT)((ulDivisor & FTDI_MAXIMUM_DIVISOR) | ((ulCode & 3) << 14));
    USHORT usHigh = (USHORT)(ulCode >> 2);
    pWords->usIndex = bMultiInterface ? (USHORT)((usHigh << 8) | (usPortIndex & 0xFF)) : usHigh;
}

ULONG DataBits(UCHAR ucDataBitsCode)
{
    return ucDataBitsCode <= 2 ? 5 + ucDataBitsCode : 8;
}

}  // namespace

BOOLEAN FtdiCalculateBaudDivisor(ULONG ulRate, ULONG ulMaximumRate, BOOLEAN bMultiInterface, USHORT usPortIndex,
                                 PFTDI_BAUD_WORDS pWords)
{
    if (ulRate == 0 || ulRate > FTDI_BASE_CLOCK || ulRate > ulMaximumRate) {
        return FALSE;
    }
    // The chip reads divisor values 0 and 1 as these two rates, not as 3 MHz / 0 or / 1.
    if (Near(ulRate, FTDI_RATE_DIVISOR_0)) {
        SetWords(pWords, 0, 0, bMultiInterface, usPortIndex);
        return TRUE;
    }
    if (Near(ulRate, FTDI_RATE_DIVISOR_1)) {
        SetWords(pWords, 1, 0, bMultiInterface, usPortIndex);
        return TRUE;
    }
    ULONGLONG ullDivisor = FTDI_BASE_CLOCK / ulRate;
    if (ullDivisor < 2 || ullDivisor > FTDI_MAXIMUM_DIVISOR) {
        return FALSE;
    }
    ULONGLONG ullBest = ulRate;
    LONG lBestCode = -1;
    for (ULONG ulCode = 0; ulCode < 8; ++ulCode) {
        ULONGLONG ullCandidate = ulCode == 0 ? FTDI_BASE_CLOCK / ullDivisor
                                             : 300000000ULL / (ullDivisor * 100 + g_aucEighths[ulCode] * 100 / 8);
        ULONGLONG ullError = Distance(ullCandidate, ulRate);
        if (ullError * 10000 / ulRate <= 100 && ullError < ullBest) {
            ullBest = ullError;
            lBestCode = (LONG)ulCode;
        }
    }
    if (lBestCode < 0) {
        return FALSE;
    }
    TfDebugLog(7, "Baud Calculation=>Best Difference: %d", (ULONG)ullBest);
    SetWords(pWords, (ULONG)ullDivisor, (ULONG)lBestCode, bMultiInterface, usPortIndex);
    TfDebugLog(7, "Baud Calculation=>Divisor: 0x%X, Fraction:0x%X", (ULONG)ullDivisor, (ULONG)lBestCode);
    return TRUE;
}

BOOLEAN FtdiLowCpuUsage(ULONG ulRate, ULONG ulFineTuning, PFTDI_LATENCY pResult)
{
    if (ulRate == 0) {
        return FALSE;
    }
    ULONG ulTuning = Clamp(ulFineTuning, 0, 256);
    if (ulTuning == 0) {
        pResult->ulLatency = FTDI_MAXIMUM_LATENCY_MS;
        pResult->ulRxTransferSize = FTDI_MAXIMUM_RX_TRANSFER;
        return TRUE;
    }
    ULONG ulK = Clamp(((257ULL - ulTuning) * 64) >> 8, 1, 64);
    pResult->ulLatency = Clamp((ulK + 1ULL) * g_ullPacketTimeAtOneBaud / ulRate, 1, FTDI_MAXIMUM_LATENCY_MS);
    pResult->ulRxTransferSize = ulK * FTDI_PACKET_SIZE;
    return TRUE;
}

BOOLEAN FtdiSpecificLatencyTime(ULONG ulMaximumLatency, ULONG ulRate, ULONG ulFineTuning, PFTDI_LATENCY pResult)
{
    if (ulRate == 0) {
        return FALSE;
    }
    ULONGLONG ullM = ulMaximumLatency == 0 ? 1 : ulMaximumLatency;
    ULONG ulTuning = Clamp(ulFineTuning, 0, 256);
    pResult->ulRxTransferSize = FTDI_MAXIMUM_RX_TRANSFER;
    if (ulRate < g_ullPacketTimeAtOneBaud / ullM) {
        pResult->ulLatency = Clamp(ullM, 1, FTDI_MAXIMUM_LATENCY_MS);
        return TRUE;
    }
    if (ullM / 65 > FTDI_MAXIMUM_LATENCY_MS) {
        pResult->ulLatency = FTDI_MAXIMUM_LATENCY_MS;
        return TRUE;
    }
    ULONG ulFirst = 0;
    ULONG ulLast = 64;
    for (ULONG ulK = 1; ulK <= 64; ++ulK) {
        ULONGLONG ullShare = ullM / (ulK + 1);
        if (ullShare == 0) {
            ullShare = 1;
        }
        if (ullShare > FTDI_MAXIMUM_LATENCY_MS) {
            continue;
        }
        if (ulFirst == 0) {
            ulFirst = ulK;
        }
        if (ulRate < g_ullPacketTimeAtOneBaud / ullShare) {
            ulLast = ulK;
            break;
        }
    }
    if (ulFirst == 0) {
        ulFirst = 64;
    }
    ULONG ulK = ulFirst + (ULONG)((((ULONGLONG)(ulLast - ulFirst)) * (257 - ulTuning)) >> 8);
    ulK = Clamp(ulK, 1, 64);
    pResult->ulLatency = Clamp(ullM / (ulK + 1), 1, FTDI_MAXIMUM_LATENCY_MS);
    pResult->ulRxTransferSize = ulK * FTDI_PACKET_SIZE;
    return TRUE;
}

ULONGLONG FtdiCharacterTime(ULONG ulRate, UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode)
{
    ULONGLONG ullRate = ulRate == 0 ? 115200 : ulRate;
    ULONGLONG ullBits = DataBits(ucDataBitsCode) + 3;
    if (ucParityCode == 0) {
        --ullBits;
    }
    if (ucStopBitsCode == 2) {
        ++ullBits;
    }
    return ((ullRate + 9999999) / ullRate) * ullBits;
}

ULONG FtdiCharactersPerMillisecond(ULONG ulRate, UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode)
{
    ULONGLONG ullRate = ulRate == 0 ? 115200 : ulRate;
    ULONGLONG ullBits = DataBits(ucDataBitsCode) + 2;
    if (ucParityCode == 0) {
        --ullBits;
    }
    if (ucStopBitsCode == 2) {
        ++ullBits;
    }
    return (ULONG)(((ullRate * 1000) / (ullBits * 1000)) / 1000 + 1);
}

ULONG FtdiNextRxTransferSize(ULONG ulFree, ULONG ulReceived, ULONG ulFifoSize, ULONG ulRxTransferSize,
                             PBOOLEAN pbSuspend)
{
    ULONGLONG ullAllowance = (ULONGLONG)Clamp(ulFifoSize, 0, FTDI_MAXIMUM_RX_FIFO) + FTDI_PACKET_DATA;
    if (ulReceived >= ulFree || ullAllowance >= (ULONGLONG)ulFree - ulReceived) {
        *pbSuspend = TRUE;
        return FTDI_PACKET_SIZE;
    }
    *pbSuspend = FALSE;
    ULONGLONG ullPackets = ((ULONGLONG)ulFree - ulReceived - ullAllowance) / FTDI_PACKET_DATA;
    ULONG ulSize = ullPackets == 0 ? FTDI_PACKET_SIZE : Clamp(ullPackets * FTDI_PACKET_SIZE, 1, FTDI_MAXIMUM_RX_TRANSFER);
    ULONG ulCap = Clamp(ulRxTransferSize, FTDI_PACKET_SIZE, FTDI_MAXIMUM_RX_TRANSFER);
    return ulSize < ulCap ? ulSize : ulCap;
}
