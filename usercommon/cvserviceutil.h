// CCVServiceUtil: the service control manager for one service at a time. Each operation returns
// non-zero on success; a failed system call's last error is read and dropped.
#pragma once

#include <atlstr.h>
#include <windows.h>
#include <winsvc.h>

class CCVServiceUtil {
public:
    CCVServiceUtil();
    // Closes the service, then the manager.
    virtual ~CCVServiceUtil();
    CCVServiceUtil(const CCVServiceUtil&) = delete;
    CCVServiceUtil& operator=(const CCVServiceUtil&) = delete;

    // 1 at once when the manager is open already.
    BOOL OpenSCManager(DWORD dwAccess);
    // Opens the manager (full access) when it is not open, and closes a service that is open first.
    BOOL OpenService(LPCWSTR pszName, DWORD dwAccess);
    BOOL IsRunning();
    // Asks the service to stop; does not wait for it.
    BOOL Stop();
    // Reads the configuration: the image path and display name.
    BOOL QueryConfig();
    // Deletes the open service and closes it; 1 when no service is open.
    BOOL DeleteService();
    BOOL CloseService();
    BOOL CloseSCManager();

    const CString& GetImagePath() const { return m_strImagePath; }
    const CString& GetDisplayName() const { return m_strDisplayName; }

private:
    CString m_strImagePath;
    CString m_strDisplayName;
    SC_HANDLE m_hManager = nullptr;
    SC_HANDLE m_hService = nullptr;
    SERVICE_STATUS m_Status{};
    BOOL m_bServiceOpen = FALSE;
    BOOL m_bManagerOpen = FALSE;
};
