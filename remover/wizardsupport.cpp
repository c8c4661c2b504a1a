#include "wizardsupport.h"

#include <wow64apiset.h>

#include <algorithm>

CString LoadResourceString(UINT id)
{
    CString text;
    text.LoadString(id);
    return text;
}

BOOL CreateTitleFont(CFont& font)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = 500;  // the record before Windows Vista, which every system accepts
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) return FALSE;
    LOGFONTW title = metrics.lfMessageFont;
    title.lfWeight = FW_BOLD;
    const std::u16string_view face = u"Verdana Bold";
    std::fill(std::begin(title.lfFaceName), std::end(title.lfFaceName), 0);
    std::copy(face.begin(), face.end(), title.lfFaceName);
    int pixelsPerInch = 96;
    if (HDC screen = GetDC(nullptr)) {
        pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    title.lfHeight = -(8 * pixelsPerInch / 72);
    return font.CreateFontIndirect(&title);
}

BOOL EnableFsRedirection(BOOL bEnable)
{
    typedef BOOLEAN(WINAPI * Wow64EnableProc)(BOOLEAN);
    HMODULE kernel = GetModuleHandleW(u"KERNEL32.DLL");
    if (!kernel) return TRUE;
    auto enable = reinterpret_cast<Wow64EnableProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64EnableWow64FsRedirection")));
    if (!enable) return TRUE;
    return enable(bEnable ? TRUE : FALSE);
}

BOOL CTfWorker::Start(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
{
    if (IsRunning()) return FALSE;
    Wait();
    CWinThread* thread = AfxBeginThread(pfnThreadProc, pParam, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread) return FALSE;
    thread->m_bAutoDelete = FALSE;
    m_pThread = thread;
    thread->ResumeThread();
    return TRUE;
}

BOOL CTfWorker::IsRunning() { return m_pThread && WaitForSingleObject(m_pThread->m_hThread, 0) != WAIT_OBJECT_0; }

void CTfWorker::Wait()
{
    if (!m_pThread) return;
    // The worker may be sending to this thread's windows: take those messages while waiting.
    HANDLE finished = m_pThread->m_hThread;
    while (MsgWaitForMultipleObjects(1, &finished, FALSE, INFINITE, QS_SENDMESSAGE | QS_POSTMESSAGE) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    delete m_pThread;
    m_pThread = nullptr;
}
