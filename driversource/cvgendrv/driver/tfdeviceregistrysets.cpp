// Registry sets of the functional and the physical child device.
#include "tfdeviceregistrysets.h"

#include "tfdebug.h"

// Valid ranges of the checked numbers.
#define TF_DEVICE_POWER_STATE_MAX 4   // PowerDeviceD3
#define TF_SYSTEM_POWER_STATE_MAX 6   // PowerSystemShutdown
#define TF_LEGACY_BUS_TYPE_MAX 15

namespace {

BOOLEAN AddRequired(CTfRegistryInformationSet* pSet, PCWSTR pszName, PVOID pTarget, ULONG ulKind,
                    CTfRegistryValueConstraint* pConstraint)
{
    return pSet->m_AddEntry(TRUE, pszName, pTarget, ulKind, pConstraint, NULL);
}

BOOLEAN AddDword(CTfRegistryInformationSet* pSet, PCWSTR pszName, PULONG pulTarget, ULONG ulDefault,
                 CTfRegistryValueConstraint* pConstraint = NULL)
{
    return pSet->m_AddDwordEntry(pszName, pulTarget, ulDefault, pConstraint);
}

BOOLEAN AddString(CTfRegistryInformationSet* pSet, PCWSTR pszName, CTfString* pTarget, const CHAR* pszDefault)
{
    return pSet->m_AddStringEntry(pszName, pTarget, pszDefault, NULL);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfDeviceRegistrySetChecks::sm_IsIoType(ULONG ulValue)
{
    CTfRoutineLog Log("CTfDeviceRegistrySetChecks::sm_IsIoType");
    if (ulValue != 0 && ulValue != DO_BUFFERED_IO && ulValue != DO_DIRECT_IO) {
        Log.m_Fail("IoType %u", ulValue);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfDeviceRegistrySetChecks::sm_IsGuidString(CTfString* pString)
{
    CTfRoutineLog Log("CTfDeviceRegistrySetChecks::sm_IsGuidString");
    PUNICODE_STRING pText = pString != NULL ? pString->m_GetUnicodeString() : NULL;
    GUID Guid;
    if (pText == NULL || !NT_SUCCESS(RtlGUIDFromString(pText, &Guid))) {
        Log.m_Fail("not a GUID");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Functional device
// ---------------------------------------------------------------------------------------------

CTfFunctionalDeviceRegistryInformationSet::CTfFunctionalDeviceRegistryInformationSet(HANDLE hKey, BOOLEAN bLoadNow)
    : CTfRegistryInformationSet(hKey),
      m_IoTypeConstraint(&CTfDeviceRegistrySetChecks::sm_IsIoType),
      m_ulTypeOfDevice(0),
      m_DeviceName(NonPagedPool),
      m_ulDeviceIndexingPolicyType(0),
      m_ulNumberChildDevices(0),
      m_SymbolicLinkName(NonPagedPool),
      m_ulDeviceIsExclusive(1),
      m_ulIoType(DO_BUFFERED_IO),
      m_ulDisplayInUi(1),
      m_ulReadClientType(0),
      m_ulOutgoingWriteType(0),
      m_ulLowestStackLayer(0),
      m_bInvalid(TRUE)
{
    CTfRoutineLog Log("CTfFunctionalDeviceRegistryInformationSet::CTfFunctionalDeviceRegistryInformationSet");
    if (!m_IsValid() || !m_AddEntries()) {
        Log.m_Fail("entries");
        return;
    }
    if (bLoadNow) {
        // The key is the caller's and is closed after construction: keep no handle to it.
        m_BindKey(NULL);
        if (!m_Load(hKey)) {
            Log.m_Fail("load");
            return;
        }
    }
    m_bInvalid = FALSE;
    Log.m_Success();
}

CTfFunctionalDeviceRegistryInformationSet::~CTfFunctionalDeviceRegistryInformationSet()
{
    CTfRoutineLog Log("CTfFunctionalDeviceRegistryInformationSet::~CTfFunctionalDeviceRegistryInformationSet");
    // The entries point into this object; they go before the members they point to.
    m_DeleteAll();
    Log.m_Success();
}

BOOLEAN CTfFunctionalDeviceRegistryInformationSet::m_AddEntries()
{
    CTfRoutineLog Log("CTfFunctionalDeviceRegistryInformationSet::m_AddEntries");
    BOOLEAN bAdded = AddRequired(this, u"TypeOfDevice", &m_ulTypeOfDevice, TF_ITEM_KIND_DWORD, NULL) &&
                     AddRequired(this, u"DeviceName", &m_DeviceName, TF_ITEM_KIND_STRING, NULL) &&
                     AddRequired(this, u"DeviceIndexingPolicyType", &m_ulDeviceIndexingPolicyType,
                                 TF_ITEM_KIND_DWORD, NULL) &&
                     AddDword(this, u"NumberChildDevices", &m_ulNumberChildDevices, 0) &&
                     AddString(this, u"SymbolicLinkName", &m_SymbolicLinkName, "") &&
                     AddDword(this, u"DeviceIsExclusive", &m_ulDeviceIsExclusive, 1) &&
                     AddDword(this, u"IoType", &m_ulIoType, DO_BUFFERED_IO, &m_IoTypeConstraint) &&
                     AddDword(this, u"DisplayInUi", &m_ulDisplayInUi, 1) &&
                     AddDword(this, u"ReadClientType", &m_ulReadClientType, 0) &&
                     AddDword(this, u"OutgoingWriteType", &m_ulOutgoingWriteType, 0) &&
                     AddDword(this, u"LowestStackLayer", &m_ulLowestStackLayer, 0);
    if (!bAdded) {
        Log.m_Fail("entry not added");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfFunctionalDeviceRegistryInformationSet::m_Load(HANDLE hKey)
{
    CTfRoutineLog Log("CTfFunctionalDeviceRegistryInformationSet::m_Load");
    m_bInvalid = TRUE;
    if (!m_ReadFromKey(hKey, FALSE)) {
        Log.m_Fail("values not read");
        return FALSE;
    }
    m_bInvalid = FALSE;
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Physical child device
// ---------------------------------------------------------------------------------------------

CTfPhysicalDeviceRegistryInformationSet::CTfPhysicalDeviceRegistryInformationSet(HANDLE hKey, BOOLEAN bLoadNow)
    : CTfRegistryInformationSet(hKey),
      m_IoTypeConstraint(&CTfDeviceRegistrySetChecks::sm_IsIoType),
      m_DeviceStateConstraint(0, TF_DEVICE_POWER_STATE_MAX),
      m_SystemWakeConstraint(0, TF_SYSTEM_POWER_STATE_MAX),
      m_LegacyBusTypeConstraint(0, TF_LEGACY_BUS_TYPE_MAX),
      m_GuidConstraint(&CTfDeviceRegistrySetChecks::sm_IsGuidString),
      m_ulContextID(0),
      m_ulTypeOfDevice(0),
      m_DeviceName(NonPagedPool),
      m_DeviceTextDescription(NonPagedPool),
      m_BusQueryDeviceID(NonPagedPool),
      m_BusQueryHardwareIDs(NonPagedPool),
      m_BusTypeGuidString(NonPagedPool),
      m_ulLegacyBusType(0),
      m_SymbolicLinkName(NonPagedPool),
      m_ulDeviceIsExclusive(1),
      m_ulIoType(DO_BUFFERED_IO),
      m_ulDoPowerPagable(0),
      m_ulChildDeviceID(0),
      m_ulLockSupported(0),
      m_ulEjectSupported(0),
      m_ulRemovable(0),
      m_ulDockDevice(0),
      m_ulUniqueID(0),
      m_ulSilentInstall(0),
      m_ulRawDeviceOK(0),
      m_ulSurpriseRemovalOK(0),
      m_ulWakeFromD0(0),
      m_ulWakeFromD1(0),
      m_ulWakeFromD2(0),
      m_ulWakeFromD3(0),
      m_ulHardwareDisabled(0),
      m_ulAddress(0xFFFFFFFF),
      m_ulUINumber(0xFFFFFFFF),
      m_ulSystemWake(0),
      m_ulDeviceWake(0),
      m_ulD1Latency(0),
      m_ulD2Latency(0),
      m_ulD3Latency(0),
      m_ulHandleDeviceTextLocationInformation(0),
      m_DeviceTextLocationInformation(NonPagedPool),
      m_ulHandleBusQueryHardwareIDs(1),
      m_ulHandleBusQueryCompatibleIDs(0),
      m_BusQueryCompatibleIDs(NonPagedPool),
      m_ulHandleBusQueryInstanceID(1),
      m_BusQueryInstanceID(NonPagedPool),
      m_ulReadServerType(0),
      m_ulIncomingWriteType(0),
      m_ulBusNumber(1),
      m_bInvalid(TRUE)
{
    CTfRoutineLog Log("CTfPhysicalDeviceRegistryInformationSet::CTfPhysicalDeviceRegistryInformationSet");
    RtlZeroMemory(&m_BusTypeGuid, sizeof(m_BusTypeGuid));
    m_aulDeviceState[0] = 1;  // PowerDeviceD0 while working
    for (ULONG ulState = 1; ulState < TF_CHILD_DEVICE_STATES; ulState++) m_aulDeviceState[ulState] = 4;
    if (!m_IsValid() || !m_AddEntries()) {
        Log.m_Fail("entries");
        return;
    }
    if (bLoadNow) {
        m_BindKey(NULL);
        if (!m_Load(hKey)) {
            Log.m_Fail("load");
            return;
        }
    }
    m_bInvalid = FALSE;
    Log.m_Success();
}

CTfPhysicalDeviceRegistryInformationSet::~CTfPhysicalDeviceRegistryInformationSet()
{
    CTfRoutineLog Log("CTfPhysicalDeviceRegistryInformationSet::~CTfPhysicalDeviceRegistryInformationSet");
    m_DeleteAll();
    Log.m_Success();
}

BOOLEAN CTfPhysicalDeviceRegistryInformationSet::m_AddEntries()
{
    CTfRoutineLog Log("CTfPhysicalDeviceRegistryInformationSet::m_AddEntries");
    BOOLEAN bAdded =
        AddRequired(this, u"ContextID", &m_ulContextID, TF_ITEM_KIND_DWORD, NULL) &&
        AddRequired(this, u"TypeOfDevice", &m_ulTypeOfDevice, TF_ITEM_KIND_DWORD, NULL) &&
        AddRequired(this, u"DeviceName", &m_DeviceName, TF_ITEM_KIND_STRING, NULL) &&
        AddRequired(this, u"DeviceTextDescription", &m_DeviceTextDescription, TF_ITEM_KIND_STRING, NULL) &&
        AddRequired(this, u"BusQueryDeviceID", &m_BusQueryDeviceID, TF_ITEM_KIND_STRING, NULL) &&
        AddRequired(this, u"BusQueryHardwareIDs", &m_BusQueryHardwareIDs, TF_ITEM_KIND_STRING, NULL) &&
        AddRequired(this, u"BusTypeGuid", &m_BusTypeGuidString, TF_ITEM_KIND_STRING, &m_GuidConstraint) &&
        AddRequired(this, u"LegacyBusType", &m_ulLegacyBusType, TF_ITEM_KIND_DWORD, &m_LegacyBusTypeConstraint) &&
        AddString(this, u"SymbolicLinkName", &m_SymbolicLinkName, "") &&
        AddDword(this, u"DeviceIsExclusive", &m_ulDeviceIsExclusive, 1) &&
        AddDword(this, u"IoType", &m_ulIoType, DO_BUFFERED_IO, &m_IoTypeConstraint) &&
        AddDword(this, u"DoPowerPagable", &m_ulDoPowerPagable, 0) &&
        AddDword(this, u"ChildDeviceID", &m_ulChildDeviceID, 0) &&
        AddDword(this, u"LockSupported", &m_ulLockSupported, 0) &&
        AddDword(this, u"EjectSupported", &m_ulEjectSupported, 0) &&
        AddDword(this, u"Removable", &m_ulRemovable, 0) &&
        AddDword(this, u"DockDevice", &m_ulDockDevice, 0) &&
        AddDword(this, u"UniqueID", &m_ulUniqueID, 0) &&
        AddDword(this, u"SilentInstall", &m_ulSilentInstall, 0) &&
        AddDword(this, u"RawDeviceOK", &m_ulRawDeviceOK, 0) &&
        AddDword(this, u"SurpriseRemovalOK", &m_ulSurpriseRemovalOK, 0) &&
        AddDword(this, u"WakeFromD0", &m_ulWakeFromD0, 0) &&
        AddDword(this, u"WakeFromD1", &m_ulWakeFromD1, 0) &&
        AddDword(this, u"WakeFromD2", &m_ulWakeFromD2, 0) &&
        AddDword(this, u"WakeFromD3", &m_ulWakeFromD3, 0) &&
        AddDword(this, u"HardwareDisabled", &m_ulHardwareDisabled, 0) &&
        AddDword(this, u"Address", &m_ulAddress, 0xFFFFFFFF) &&
        AddDword(this, u"UINumber", &m_ulUINumber, 0xFFFFFFFF) &&
        AddDword(this, u"DeviceState_PowerSystemWorking", &m_aulDeviceState[0], 1, &m_DeviceStateConstraint) &&
        AddDword(this, u"DeviceState_PowerSystemSleeping1", &m_aulDeviceState[1], 4, &m_DeviceStateConstraint) &&
        AddDword(this, u"DeviceState_PowerSystemSleeping2", &m_aulDeviceState[2], 4, &m_DeviceStateConstraint) &&
        AddDword(this, u"DeviceState_PowerSystemSleeping3", &m_aulDeviceState[3], 4, &m_DeviceStateConstraint) &&
        AddDword(this, u"DeviceState_PowerSystemHibernate", &m_aulDeviceState[4], 4, &m_DeviceStateConstraint) &&
        AddDword(this, u"DeviceState_PowerSystemShutdown", &m_aulDeviceState[5], 4, &m_DeviceStateConstraint) &&
        AddDword(this, u"SystemWake", &m_ulSystemWake, 0, &m_SystemWakeConstraint) &&
        AddDword(this, u"DeviceWake", &m_ulDeviceWake, 0, &m_DeviceStateConstraint) &&
        AddDword(this, u"D1Latency", &m_ulD1Latency, 0) &&
        AddDword(this, u"D2Latency", &m_ulD2Latency, 0) &&
        AddDword(this, u"D3Latency", &m_ulD3Latency, 0) &&
        AddDword(this, u"HandleDeviceTextLocationInformation", &m_ulHandleDeviceTextLocationInformation, 0) &&
        AddString(this, u"DeviceTextLocationInformation", &m_DeviceTextLocationInformation, "") &&
        AddDword(this, u"HandleBusQueryHardwareIDs", &m_ulHandleBusQueryHardwareIDs, 1) &&
        AddDword(this, u"HandleBusQueryCompatibleIDs", &m_ulHandleBusQueryCompatibleIDs, 0) &&
        AddString(this, u"BusQueryCompatibleIDs", &m_BusQueryCompatibleIDs, "") &&
        AddDword(this, u"HandleBusQueryInstanceID", &m_ulHandleBusQueryInstanceID, 1) &&
        AddString(this, u"BusQueryInstanceID", &m_BusQueryInstanceID, "0000") &&
        AddDword(this, u"ReadServerType", &m_ulReadServerType, 0) &&
        AddDword(this, u"IncomingWriteType", &m_ulIncomingWriteType, 0) &&
        AddDword(this, u"BusNumber", &m_ulBusNumber, 1);
    if (!bAdded) {
        Log.m_Fail("entry not added");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfPhysicalDeviceRegistryInformationSet::m_Load(HANDLE hKey)
{
    CTfRoutineLog Log("CTfPhysicalDeviceRegistryInformationSet::m_Load");
    m_bInvalid = TRUE;
    if (!m_ReadFromKey(hKey, FALSE)) {
        Log.m_Fail("values not read");
        return FALSE;
    }
    m_bInvalid = FALSE;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfPhysicalDeviceRegistryInformationSet::m_Validate()
{
    CTfRoutineLog Log("CTfPhysicalDeviceRegistryInformationSet::m_Validate");
    // The text passed its check while it was read; keep its 16 bytes for the bus information.
    PUNICODE_STRING pText = m_BusTypeGuidString.m_GetUnicodeString();
    GUID Guid;
    if (pText == NULL || !NT_SUCCESS(RtlGUIDFromString(pText, &Guid))) {
        Log.m_Fail("BusTypeGuid");
        return FALSE;
    }
    m_BusTypeGuid = Guid;
    Log.m_Success();
    return TRUE;
}
