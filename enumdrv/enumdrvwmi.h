// The bus device's four WMI data blocks: their GUIDs and layouts, the block table handed to the
// framework, and the compiled schema (binary MOF) that describes blocks 0 to 2.
#pragma once

#include <wdm.h>

#include "tfdevicecallbacks.h"

#define ENUMDRV_WMI_BLOCK_TIMINGS 0
#define ENUMDRV_WMI_BLOCK_PARAMETERS 1
#define ENUMDRV_WMI_BLOCK_PORT_STATE 2
#define ENUMDRV_WMI_BLOCK_MOF 3
#define ENUMDRV_WMI_BLOCK_COUNT 4

// Block 0: timings and counters of the first port (microseconds unless stated).
typedef struct _ENUMDRV_WMI_TIMINGS {
    ULONG ulParseMicroseconds;            // last receive-packet parse
    ULONG ulWorkItemDelayMicroseconds;    // queueing of the delivery work item to its start
    ULONG ulDeliveryMicroseconds;         // the delivery itself
    ULONG ulBulkInIntervalMilliseconds;   // since the previous bulk IN completion
    ULONG ulTransportCallbackMicroseconds;
    ULONG ulBytesReportedSent;            // since open
    ULONG ulBytesReceived;                // raw, status bytes included, since open
} ENUMDRV_WMI_TIMINGS, *PENUMDRV_WMI_TIMINGS;

// Block 1: the applied parameter values (all 0 before the first set is applied).
typedef struct _ENUMDRV_WMI_PARAMETERS {
    ULONG ulRxFifoSize;
    ULONG ulTxFifoSize;
    ULONG ulMaximumBaudRate;
    ULONG ulPolicyType;
    ULONG ulMaximumLatency;
    ULONG ulMaximumLatencyFineTuning;
    ULONG ulMaximumLatencySliderPos;
    ULONG ulLowCpuUsageFineTuning;
} ENUMDRV_WMI_PARAMETERS, *PENUMDRV_WMI_PARAMETERS;

// Block 2: state of the first port.
typedef struct _ENUMDRV_WMI_PORT_STATE {
    ULONG ulRxTransferSize;
    ULONG ulTxTransferSize;
    ULONG ulLatencyTimer;           // ms
    ULONG ulLastLineStatus;
    ULONG ulLastModemStatus;
    ULONG ulQueuedBytes;
    ULONG ulTransmitterReleased;    // 1: not held
    ULONG ulReceiveNotSuspended;    // 1: the bulk IN transfer is not held back for lack of room
    ULONG ulModemControl;           // 0x0300 | DTR | RTS << 1
    ULONG ulFlowControlIndex;       // wIndex of the last flow-control request
    ULONG ulBaudRateValue;          // wValue of the last baud-rate request
    ULONG ulLineSettingsValue;      // wValue of the last line-settings request
    ULONG ulOpen;
    ULONG ulDuplexMode;
    UCHAR ucDeliveryPending;
    UCHAR ucWriteInProgress;
    UCHAR ucXoffSent;
    UCHAR ucXoffReceived;
} ENUMDRV_WMI_PORT_STATE, *PENUMDRV_WMI_PORT_STATE;

#define ENUMDRV_WMI_MOF_SIZE 4374

static_assert(sizeof(ENUMDRV_WMI_TIMINGS) == 28, "block 0 is 28 bytes");
static_assert(sizeof(ENUMDRV_WMI_PARAMETERS) == 32, "block 1 is 32 bytes");
static_assert(sizeof(ENUMDRV_WMI_PORT_STATE) == 60, "block 2 is 60 bytes");

extern const GUID g_EnumdrvWmiTimingsGuid;
extern const GUID g_EnumdrvWmiParametersGuid;
extern const GUID g_EnumdrvWmiPortStateGuid;
extern const GUID g_EnumdrvWmiBinaryMofGuid;

// The block table (entry 20 of the device callbacks): one instance each, fixed sizes, read-only.
extern TF_WMI_GUID_RECORD g_aEnumdrvWmiBlocks[ENUMDRV_WMI_BLOCK_COUNT];

// The compiled schema of blocks 0 to 2, ENUMDRV_WMI_MOF_SIZE bytes.
const UCHAR* EnumdrvWmiBinaryMof(void);
