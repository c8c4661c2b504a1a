// Software-tracing glue of the image: the control blocks of the eight trace groups and the calls
// that register them with the system and send messages through them.
#include "tftrace.h"

#include "tfinterlocked.h"

const GUID g_TfTraceControlGuids[TF_TRACE_GROUP_COUNT] = {
    {0x17486B3C, 0x13C2, 0x4743, {0xB2, 0xFE, 0x85, 0xEB, 0xB2, 0x07, 0x47, 0x45}},
    {0xB7F58A64, 0x680B, 0x47F6, {0xA6, 0x32, 0x90, 0x75, 0xC7, 0xAE, 0x9A, 0x53}},
    {0xF602E867, 0x71C3, 0x4AE3, {0xAA, 0x27, 0x51, 0xAB, 0x38, 0xC8, 0xD9, 0xF4}},
    {0x8B445439, 0x05DF, 0x4DA1, {0x9F, 0x82, 0x7A, 0x50, 0x24, 0xBB, 0x9E, 0x8E}},
    {0xE7AEB0ED, 0x1E1A, 0x4E66, {0x90, 0xDD, 0x39, 0xD4, 0xFF, 0x71, 0x78, 0x53}},
    {0xDFEB207A, 0xE286, 0x48BC, {0xAD, 0x63, 0x64, 0x49, 0x8C, 0xB0, 0x8E, 0x9B}},
    {0xDCCB20EC, 0xEAEB, 0x4834, {0x87, 0x29, 0x16, 0x01, 0x51, 0x9E, 0xD0, 0x01}},
    {0xDF7594D6, 0xA59E, 0x4D40, {0x9D, 0xBD, 0x75, 0x5F, 0x01, 0xEE, 0x0A, 0xD8}},
};

// {7ABD0FA5-352C-4F88-B87A-ABCE17A7C30E}
const GUID g_TfTraceMessageGuid = {0x7ABD0FA5, 0x352C, 0x4F88,
                                   {0xB8, 0x7A, 0xAB, 0xCE, 0x17, 0xA7, 0xC3, 0x0E}};

static WPP_TRACE_CONTROL_BLOCK s_TfControlBlocks[TF_TRACE_GROUP_COUNT];
// Number of set-ups not yet ended; the blocks are registered while it is above 0.
static volatile LONG s_lSetUpCount = 0;

// Every message carries a sequence number, the message GUID, the time stamp and the system info.
#define TF_TRACE_MESSAGE_FLAGS \
    (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP)

static void TfTraceResetBlocks(void)
{
    for (ULONG ulGroup = 0; ulGroup < TF_TRACE_GROUP_COUNT; ulGroup++) {
        s_TfControlBlocks[ulGroup].ControlGuid = g_TfTraceControlGuids[ulGroup];
        s_TfControlBlocks[ulGroup].Flags = 0;
        s_TfControlBlocks[ulGroup].Level = 0;
        s_TfControlBlocks[ulGroup].Logger = 0;
    }
}

void TfTraceInitialize(PVOID pDriverOrDeviceObject, PUNICODE_STRING pRegistryPath)
{
    if (InterlockedIncrement(&s_lSetUpCount) != 1) {
        return;
    }
    TfTraceResetBlocks();
    WppRegisterControlBlocks((PDRIVER_OBJECT)pDriverOrDeviceObject, pRegistryPath, s_TfControlBlocks,
                             TF_TRACE_GROUP_COUNT);
}

void TfTraceCleanup(PVOID pDriverOrDeviceObject)
{
    (void)pDriverOrDeviceObject;

    // An unbalanced cleanup must not take the count below 0.
    LONG lCount;
    do {
        lCount = TfInterlockedRead(&s_lSetUpCount);
        if (lCount <= 0) {
            return;
        }
    } while (InterlockedCompareExchange(&s_lSetUpCount, lCount - 1, lCount) != lCount);

    if (lCount == 1) {
        WppUnregisterControlBlocks(s_TfControlBlocks);
        TfTraceResetBlocks();
    }
}

BOOLEAN TfTraceIsSetUp(void)
{
    return s_lSetUpCount > 0 ? TRUE : FALSE;
}

BOOLEAN TfTraceIsFlagEnabled(ULONG ulGroup, ULONG ulBit)
{
    if (ulGroup >= TF_TRACE_GROUP_COUNT || ulBit >= 32) {
        return FALSE;
    }
    return (s_TfControlBlocks[ulGroup].Flags & (1UL << ulBit)) != 0 ? TRUE : FALSE;
}

static TRACEHANDLE TfTraceGetLogger(ULONG ulGroup)
{
    if (ulGroup >= TF_TRACE_GROUP_COUNT || !TfTraceIsSetUp()) {
        return 0;
    }
    return s_TfControlBlocks[ulGroup].Logger;
}

NTSTATUS TfTraceSendText(ULONG ulGroup, USHORT usMessageNumber, const char* pszText)
{
    TRACEHANDLE Logger = TfTraceGetLogger(ulGroup);
    if (Logger == 0 || pszText == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    SIZE_T cbText = 0;
    while (pszText[cbText] != '\0') {
        cbText++;
    }
    return WmiTraceMessage(Logger, TF_TRACE_MESSAGE_FLAGS, &g_TfTraceMessageGuid, usMessageNumber,
                           (PVOID)pszText, cbText + 1, (PVOID)NULL);
}

NTSTATUS TfTraceSendNumber(ULONG ulGroup, USHORT usMessageNumber, LONG lValue)
{
    TRACEHANDLE Logger = TfTraceGetLogger(ulGroup);
    if (Logger == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    return WmiTraceMessage(Logger, TF_TRACE_MESSAGE_FLAGS, &g_TfTraceMessageGuid, usMessageNumber,
                           (PVOID)&lValue, (SIZE_T)sizeof(lValue), (PVOID)NULL);
}
