// Message table of every framework driver image: the texts the System log shows for the events a
// driver writes. The event-log source names the image as its message file.
//
// Message IDs: severity in bits 30-31, customer bit 29, facility 7 in bits 16-27, code in the rest.
#pragma once

#include <wdm.h>

#define TF_EVENT_FACILITY 0x7

#define TF_EVENT_INFORMATIONAL ((NTSTATUS)0x60070001L)
#define TF_EVENT_WARNING ((NTSTATUS)0xA0070401L)
#define TF_EVENT_ERROR ((NTSTATUS)0xE0070801L)

typedef struct _TF_EVENT_MESSAGE {
    ULONG ulMessageId;
    const WCHAR* pszText;  // zero-terminated UTF-16, "%1" is the first insertion string
} TF_EVENT_MESSAGE, *PTF_EVENT_MESSAGE;

#define TF_EVENT_MESSAGE_COUNT 3

extern const TF_EVENT_MESSAGE g_TfEventMessages[TF_EVENT_MESSAGE_COUNT];

// The entry of a message ID, or null when the table has none.
const TF_EVENT_MESSAGE* TfFindEventMessage(ULONG ulMessageId);
