// What the wizard's pages and the Windows 95 dialog share: strings from the program's table, the
// title font, WOW64's file-system redirection, and the worker thread a page or dialog runs.
#pragma once

#include <afxwin.h>

// The program's string of that id.
CString LoadResourceString(UINT id);

// The system's message font in "Verdana Bold", weight 700, 8 points at the screen's resolution.
BOOL CreateTitleFont(CFont& font);

// Turns WOW64's file-system redirection of the calling thread on or off: the system's answer, or 1
// where the system has no such switch.
BOOL EnableFsRedirection(BOOL bEnable);

// The worker thread of a page or dialog. The owner starts one at a time, asks whether it still runs
// and waits for it (taking the messages the worker sends meanwhile) before anything the worker
// uses goes.
class CTfWorker {
public:
    CTfWorker() = default;
    ~CTfWorker() { Wait(); }
    CTfWorker(const CTfWorker&) = delete;
    CTfWorker& operator=(const CTfWorker&) = delete;

    // False when a worker still runs or the thread could not be started.
    BOOL Start(AFX_THREADPROC pfnThreadProc, LPVOID pParam);
    BOOL IsRunning();
    void Wait();

private:
    CWinThread* m_pThread = nullptr;
};
