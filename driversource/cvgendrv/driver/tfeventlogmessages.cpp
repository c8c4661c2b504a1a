// Message table of the framework driver images.
#include "tfeventlogmessages.h"

#include "tfdebug.h"

static const WCHAR s_TfEventText[] = u"Castel Vane Ltd - (%1).\r\n";

const TF_EVENT_MESSAGE g_TfEventMessages[TF_EVENT_MESSAGE_COUNT] = {
    {(ULONG)TF_EVENT_INFORMATIONAL, s_TfEventText},
    {(ULONG)TF_EVENT_WARNING, s_TfEventText},
    {(ULONG)TF_EVENT_ERROR, s_TfEventText},
};

const TF_EVENT_MESSAGE* TfFindEventMessage(ULONG ulMessageId)
{
    CTfRoutineLog Log("TfFindEventMessage");
    for (ULONG ulIndex = 0; ulIndex < TF_EVENT_MESSAGE_COUNT; ulIndex++) {
        if (g_TfEventMessages[ulIndex].ulMessageId == ulMessageId) {
            Log.m_Success();
            return &g_TfEventMessages[ulIndex];
        }
    }
    Log.m_Fail("no message %08x", ulMessageId);
    return NULL;
}
