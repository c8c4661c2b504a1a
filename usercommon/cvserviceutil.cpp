#include "cvserviceutil.h"

#include <vector>

namespace {

BOOL Failed()
{
    (void)GetLastError();
    return FALSE;
}

}  // namespace

CCVServiceUtil::CCVServiceUtil() = default;

CCVServiceUtil::~CCVServiceUtil()
{
    CloseService();
    CloseSCManager();
}

BOOL CCVServiceUtil::OpenSCManager(DWORD dwAccess)
{
    if (m_bManagerOpen) return TRUE;
    m_hManager = ::OpenSCManagerW(nullptr, nullptr, dwAccess);
    if (!m_hManager) return Failed();
    m_bManagerOpen = TRUE;
    return TRUE;
}

BOOL CCVServiceUtil::OpenService(LPCWSTR pszName, DWORD dwAccess)
{
    if (!m_bManagerOpen && !OpenSCManager(SC_MANAGER_ALL_ACCESS)) return FALSE;
    if (m_bServiceOpen && !CloseService()) return FALSE;
    m_hService = ::OpenServiceW(m_hManager, pszName, dwAccess);
    if (!m_hService) return Failed();
    m_bServiceOpen = TRUE;
    return TRUE;
}

BOOL CCVServiceUtil::IsRunning()
{
    if (!m_bServiceOpen) return FALSE;
    m_Status = SERVICE_STATUS{};
    if (!::QueryServiceStatus(m_hService, &m_Status)) return Failed();
    return m_Status.dwCurrentState == SERVICE_RUNNING;
}

BOOL CCVServiceUtil::Stop()
{
    if (!m_bServiceOpen) return FALSE;
    m_Status = SERVICE_STATUS{};
    if (!::ControlService(m_hService, SERVICE_CONTROL_STOP, &m_Status)) return Failed();
    return TRUE;
}

BOOL CCVServiceUtil::QueryConfig()
{
    if (!m_bServiceOpen) return FALSE;
    std::vector<BYTE> buffer(4096, 0);
    DWORD dwNeeded = 0;
    auto* pConfig = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!::QueryServiceConfigW(m_hService, pConfig, static_cast<DWORD>(buffer.size()), &dwNeeded)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return Failed();
        buffer.assign(dwNeeded, 0);
        pConfig = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
        if (!::QueryServiceConfigW(m_hService, pConfig, dwNeeded, &dwNeeded)) return Failed();
    }
    m_strImagePath.Format(u"%s", pConfig->lpBinaryPathName ? pConfig->lpBinaryPathName : u"");
    m_strDisplayName.Format(u"%s", pConfig->lpDisplayName ? pConfig->lpDisplayName : u"");
    return TRUE;
}

BOOL CCVServiceUtil::DeleteService()
{
    if (!m_bServiceOpen) return TRUE;
    const BOOL bDeleted = ::DeleteService(m_hService);
    if (!bDeleted) Failed();
    CloseService();
    return bDeleted;
}

BOOL CCVServiceUtil::CloseService()
{
    if (!m_bServiceOpen) return TRUE;
    if (!::CloseServiceHandle(m_hService)) return Failed();
    m_hService = nullptr;
    m_bServiceOpen = FALSE;
    return TRUE;
}

BOOL CCVServiceUtil::CloseSCManager()
{
    if (!m_bManagerOpen) return TRUE;
    if (!::CloseServiceHandle(m_hManager)) return Failed();
    m_hManager = nullptr;
    m_bManagerOpen = FALSE;
    return TRUE;
}
