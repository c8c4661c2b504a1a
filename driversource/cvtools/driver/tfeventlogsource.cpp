// Event-log source of a driver.
#include "tfeventlogsource.h"

#include "tfdebug.h"
#include "tfregistry.h"

// Types of event the source reports: error, warning and information.
#define TF_EVENT_TYPES_SUPPORTED 7

CTfEventLogSource::CTfEventLogSource(PDRIVER_OBJECT pDriverObject, const CTfString& ServiceName,
                                     const CTfString& RegistryPath, BOOLEAN* pbSuccess)
    : m_RegistryPath(PagedPool), m_ServiceName(PagedPool), m_pDriverObject(NULL), m_ulLogLevel(0),
      m_bRegistered(FALSE)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfEventLogSource::CTfEventLogSource");
    if (pbSuccess != NULL) {
        *pbSuccess = FALSE;
    }

    if (!m_ReadLogLevel(RegistryPath)) {
        Log.m_Fail("LogLevel");
        return;
    }

    m_pDriverObject = pDriverObject;
    m_RegistryPath.m_Assign(RegistryPath);
    m_ServiceName.m_Assign(ServiceName);
    // Without a service name the key would be the System log's own.
    if (m_RegistryPath.m_GetStatus() != STATUS_SUCCESS || m_ServiceName.m_GetStatus() != STATUS_SUCCESS ||
        m_ServiceName.m_IsEmpty()) {
        Log.m_Fail("names");
        return;
    }

    CTfString KeyPath(PagedPool, u"EventLog\\System\\");
    KeyPath.m_Append(m_ServiceName);
    CTfString MessageFile(PagedPool,
                          u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\");
    MessageFile.m_Append(m_ServiceName);
    MessageFile.m_AppendWide(u".sys");
    CTfString MessageFileName(PagedPool, u"EventMessageFile");
    CTfString TypesSupportedName(PagedPool, u"TypesSupported");
    if (KeyPath.m_GetStatus() != STATUS_SUCCESS || MessageFile.m_GetStatus() != STATUS_SUCCESS ||
        MessageFileName.m_GetStatus() != STATUS_SUCCESS ||
        TypesSupportedName.m_GetStatus() != STATUS_SUCCESS) {
        Log.m_Fail("no memory");
        return;
    }

    if (!CTfRegistry::m_CreateKeyPath(TF_REGISTRY_SERVICES, KeyPath)) {
        Log.m_Fail("create key");
        return;
    }
    if (!CTfRegistry::m_WriteString(TF_REGISTRY_SERVICES, KeyPath, MessageFileName, MessageFile,
                                    REG_EXPAND_SZ)) {
        Log.m_Fail("EventMessageFile");
        return;
    }
    if (!CTfRegistry::m_WriteDword(TF_REGISTRY_SERVICES, KeyPath, TypesSupportedName,
                                   TF_EVENT_TYPES_SUPPORTED)) {
        Log.m_Fail("TypesSupported");
        return;
    }

    m_bRegistered = TRUE;
    if (pbSuccess != NULL) {
        *pbSuccess = TRUE;
    }
    Log.m_Success();
}

CTfEventLogSource::~CTfEventLogSource()
{
    CTfRoutineLog Log("CTfEventLogSource::~CTfEventLogSource");
    Log.m_Success();
}

BOOLEAN CTfEventLogSource::m_ReadLogLevel(const CTfString& RegistryPath)
{
    CTfRoutineLog Log("CTfEventLogSource::m_ReadLogLevel");
    CTfString ValueName(PagedPool, u"LogLevel");
    if (ValueName.m_GetStatus() != STATUS_SUCCESS) {
        Log.m_Fail("no memory");
        return FALSE;
    }

    ULONG ulLevel = 0;
    if (!CTfRegistry::m_QueryAbsoluteDword(RegistryPath, ValueName, &ulLevel) ||
        ulLevel > TF_LOG_LEVEL_MAX) {
        if (!CTfRegistry::m_WriteAbsoluteDword(RegistryPath, ValueName, TF_LOG_LEVEL_DEFAULT)) {
            Log.m_Fail("write default");
            return FALSE;
        }
        ulLevel = TF_LOG_LEVEL_DEFAULT;
    }
    m_ulLogLevel = ulLevel;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfEventLogSource::m_RemoveRegistration()
{
    CTfRoutineLog Log("CTfEventLogSource::m_RemoveRegistration");
    if (m_ServiceName.m_IsEmpty()) {
        m_RegistryPath.m_Free();
        Log.m_Fail("no service name");
        return FALSE;
    }

    CTfString KeyPath(PagedPool,
                      u"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\");
    KeyPath.m_Append(m_ServiceName);
    BOOLEAN bDeleted = FALSE;
    if (KeyPath.m_GetStatus() == STATUS_SUCCESS) {
        bDeleted = CTfRegistry::m_DeleteKey(KeyPath);
    }
    m_ServiceName.m_Free();
    m_RegistryPath.m_Free();
    m_bRegistered = FALSE;

    if (!bDeleted) {
        Log.m_Fail("delete key");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}
