// Entry and exit lines of a routine. A routine names itself once, when it begins:
//
//     CTfRoutineLog Log("CTfDevice::m_CreateDevice");     // "CTfDevice::m_CreateDevice - IN"
//     ...
//     Log.m_Fail("IoCreateDevice %08x", (ULONG)Status);   // "... - OUT - Fail-> IoCreateDevice c0000001"
//     ...
//     Log.m_Success();                                    // "... - OUT (Success)"
//
// so that its logic is not buried under its logging. Lines go through TfDebugLog at the level given.
#pragma once

#include <wdm.h>

// Log levels. Each level is one flag of one trace control group (the debug manager maps them).
#define TF_LOG_BASIC 0            // set-up of the image's own threads, and what goes wrong there
#define TF_LOG_SETUP 1            // set-up of the deferred-call executor
#define TF_LOG_FLOW 7             // entry and exit of routines
#define TF_LOG_CONTROL_QUEUE 30   // control queue: its requests and the wait-mask events
#define TF_LOG_READ_DATA 43       // read queue: data moved between the buffer and the requests
#define TF_LOG_TIMING_RECEIVE 55  // time taken to pass received data on (logged at the timing level)
#define TF_LOG_TIMING_READ 56     // time a read request waited for its data (logged at the timing level)

class CTfRoutineLog {
public:
    // Logs "<routine> - IN". pszRoutine is a literal that outlives the object.
    explicit CTfRoutineLog(const char* pszRoutine, ULONG ulLevel = TF_LOG_FLOW);

    // Logs "<routine> - OUT (Success)".
    void m_Success() const;
    // Logs "<routine> - OUT - Fail-> " followed by the formatted reason.
    void m_Fail(const char* pszFormat, ...) const;
    // The exit line of a routine whose result is a status: success, or "Fail-> status 0x<status>".
    void m_Result(NTSTATUS Status) const;

private:
    CTfRoutineLog(const CTfRoutineLog&) = delete;
    CTfRoutineLog& operator=(const CTfRoutineLog&) = delete;

    const char* m_pszRoutine;
    ULONG m_ulLevel;
};
