// Software tracing of a driver image: eight trace control groups, each with a 32-bit flag mask that a
// trace consumer enables. The debug manager sends its log lines through the logger of a group.
#pragma once

#include <wdm.h>
#include <wpptrace.h>

// Number of trace control groups of the image.
#define TF_TRACE_GROUP_COUNT 8

// Message number of the titled hex dump's timing line.
#define TF_TRACE_MESSAGE_DUMP_TIMING 65

// The control GUIDs of the eight groups, in group order, and the message GUID of the image.
extern const GUID g_TfTraceControlGuids[TF_TRACE_GROUP_COUNT];
extern const GUID g_TfTraceMessageGuid;

// Sets tracing up for a driver object (or, where the system has no driver-wide tracing, for a device
// object) and its service key. Calls nest: only the first registers the control blocks.
void TfTraceInitialize(PVOID pDriverOrDeviceObject, PUNICODE_STRING pRegistryPath);
// Ends one set-up; the last unregisters the control blocks. Extra calls do nothing.
void TfTraceCleanup(PVOID pDriverOrDeviceObject);
// TRUE while tracing is set up.
BOOLEAN TfTraceIsSetUp(void);

// TRUE when a consumer has enabled flag bit ulBit (0 to 31) of group ulGroup (0 to 7).
BOOLEAN TfTraceIsFlagEnabled(ULONG ulGroup, ULONG ulBit);

// Sends one message with a text argument (its terminator included) through the logger of a group.
// Nothing is sent while tracing is not set up or nobody listens to the group.
NTSTATUS TfTraceSendText(ULONG ulGroup, USHORT usMessageNumber, const char* pszText);
// The same with one 32-bit number as the argument.
NTSTATUS TfTraceSendNumber(ULONG ulGroup, USHORT usMessageNumber, LONG lValue);
