// Registry sets that configure the framework's devices: the functional device's values, read from
// its hardware key, and a child device's values, read from its "Child<i>" subkey under the
// parent's hardware key. Both are loaded once, at device construction, from the key the device
// passes in; the entries are registered (and read) in the order below. PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include "tfregistryinformationset.h"
#include "tfregistryvalueconstraint.h"
#include "tfstring.h"

// DeviceIndexingPolicyType: low byte is the naming policy, bit 0x100 passes the index on.
#define TF_INDEXING_POLICY_MASK 0xFF
#define TF_INDEXING_POLICY_COUNT 1        // a per-driver counter (DeviceCount / DeviceNameIndex)
#define TF_INDEXING_POLICY_CHILD_INDEX 2  // the index of the child device below
#define TF_INDEXING_CHILDREN_GET_INDEX 0x100

// ReadClientType 1: the I/O client is created at start.
#define TF_READ_CLIENT_IO_CLIENT 1

// Checks shared by both sets.
class CTfDeviceRegistrySetChecks {
public:
    // IoType: 0, DO_BUFFERED_IO or DO_DIRECT_IO.
    static BOOLEAN sm_IsIoType(ULONG ulValue);
    // A GUID in braces, as RtlGUIDFromString reads it.
    static BOOLEAN sm_IsGuidString(CTfString* pString);
};

class CTfFunctionalDeviceRegistryInformationSet : public CTfRegistryInformationSet {
public:
    // Registers the 11 entries; with bLoadNow reads them from hKey at once (the key is not kept).
    // Without it, the set stays bound to hKey for a later m_Read(FALSE). A set whose entries could
    // not be registered or whose load failed is marked invalid.
    CTfFunctionalDeviceRegistryInformationSet(HANDLE hKey, BOOLEAN bLoadNow);
    virtual ~CTfFunctionalDeviceRegistryInformationSet();

    BOOLEAN m_IsInvalid() const { return m_bInvalid; }
    // Reads every value from a caller's open key; the invalid mark follows the result.
    BOOLEAN m_Load(HANDLE hKey);

    ULONG m_GetTypeOfDevice() const { return m_ulTypeOfDevice; }
    CTfString* m_GetDeviceName() { return &m_DeviceName; }
    ULONG m_GetDeviceIndexingPolicyType() const { return m_ulDeviceIndexingPolicyType; }
    ULONG m_GetIndexingPolicy() const { return m_ulDeviceIndexingPolicyType & TF_INDEXING_POLICY_MASK; }
    BOOLEAN m_ChildrenGetIndex() const
    {
        return (m_ulDeviceIndexingPolicyType & TF_INDEXING_CHILDREN_GET_INDEX) != 0;
    }
    ULONG m_GetNumberChildDevices() const { return m_ulNumberChildDevices; }
    CTfString* m_GetSymbolicLinkName() { return &m_SymbolicLinkName; }
    ULONG m_GetDeviceIsExclusive() const { return m_ulDeviceIsExclusive; }
    ULONG m_GetIoType() const { return m_ulIoType; }
    ULONG m_GetDisplayInUi() const { return m_ulDisplayInUi; }
    ULONG m_GetReadClientType() const { return m_ulReadClientType; }
    ULONG m_GetOutgoingWriteType() const { return m_ulOutgoingWriteType; }
    ULONG m_GetLowestStackLayer() const { return m_ulLowestStackLayer; }

private:
    BOOLEAN m_AddEntries();

    CTfRegistryValueConstraint m_IoTypeConstraint;

    ULONG m_ulTypeOfDevice;
    CTfString m_DeviceName;
    ULONG m_ulDeviceIndexingPolicyType;
    ULONG m_ulNumberChildDevices;
    CTfString m_SymbolicLinkName;
    ULONG m_ulDeviceIsExclusive;
    ULONG m_ulIoType;
    ULONG m_ulDisplayInUi;
    ULONG m_ulReadClientType;
    ULONG m_ulOutgoingWriteType;
    ULONG m_ulLowestStackLayer;
    BOOLEAN m_bInvalid;
};

// Indexes of the DeviceState_* values: the system power states PowerSystemWorking (1) to
// PowerSystemShutdown (6).
#define TF_CHILD_DEVICE_STATES 6

class CTfPhysicalDeviceRegistryInformationSet : public CTfRegistryInformationSet {
public:
    // As the functional device's set, with the 49 entries of a child.
    CTfPhysicalDeviceRegistryInformationSet(HANDLE hKey, BOOLEAN bLoadNow);
    virtual ~CTfPhysicalDeviceRegistryInformationSet();

    BOOLEAN m_IsInvalid() const { return m_bInvalid; }
    BOOLEAN m_Load(HANDLE hKey);
    // Keeps the parsed BusTypeGuid in step with its text.
    virtual BOOLEAN m_Validate();

    ULONG m_GetContextID() const { return m_ulContextID; }
    ULONG m_GetTypeOfDevice() const { return m_ulTypeOfDevice; }
    CTfString* m_GetDeviceName() { return &m_DeviceName; }
    CTfString* m_GetDeviceTextDescription() { return &m_DeviceTextDescription; }
    CTfString* m_GetBusQueryDeviceID() { return &m_BusQueryDeviceID; }
    CTfString* m_GetBusQueryHardwareIDs() { return &m_BusQueryHardwareIDs; }
    CTfString* m_GetBusTypeGuidString() { return &m_BusTypeGuidString; }
    const GUID& m_GetBusTypeGuid() const { return m_BusTypeGuid; }
    ULONG m_GetLegacyBusType() const { return m_ulLegacyBusType; }
    CTfString* m_GetSymbolicLinkName() { return &m_SymbolicLinkName; }
    ULONG m_GetDeviceIsExclusive() const { return m_ulDeviceIsExclusive; }
    ULONG m_GetIoType() const { return m_ulIoType; }
    ULONG m_GetDoPowerPagable() const { return m_ulDoPowerPagable; }
    ULONG m_GetChildDeviceID() const { return m_ulChildDeviceID; }
    ULONG m_GetLockSupported() const { return m_ulLockSupported; }
    ULONG m_GetEjectSupported() const { return m_ulEjectSupported; }
    ULONG m_GetRemovable() const { return m_ulRemovable; }
    ULONG m_GetDockDevice() const { return m_ulDockDevice; }
    ULONG m_GetUniqueID() const { return m_ulUniqueID; }
    ULONG m_GetSilentInstall() const { return m_ulSilentInstall; }
    ULONG m_GetRawDeviceOK() const { return m_ulRawDeviceOK; }
    ULONG m_GetSurpriseRemovalOK() const { return m_ulSurpriseRemovalOK; }
    ULONG m_GetWakeFromD0() const { return m_ulWakeFromD0; }
    ULONG m_GetWakeFromD1() const { return m_ulWakeFromD1; }
    ULONG m_GetWakeFromD2() const { return m_ulWakeFromD2; }
    ULONG m_GetWakeFromD3() const { return m_ulWakeFromD3; }
    ULONG m_GetHardwareDisabled() const { return m_ulHardwareDisabled; }
    ULONG m_GetAddress() const { return m_ulAddress; }
    ULONG m_GetUINumber() const { return m_ulUINumber; }
    // Device state for a system power state PowerSystemWorking (1) .. PowerSystemShutdown (6);
    // PowerDeviceUnspecified (0) for any other.
    ULONG m_GetDeviceState(ULONG ulSystemState) const
    {
        return ulSystemState >= 1 && ulSystemState <= TF_CHILD_DEVICE_STATES ? m_aulDeviceState[ulSystemState - 1] : 0;
    }
    ULONG m_GetDeviceStatePowerSystemWorking() const { return m_aulDeviceState[0]; }
    ULONG m_GetDeviceStatePowerSystemSleeping1() const { return m_aulDeviceState[1]; }
    ULONG m_GetDeviceStatePowerSystemSleeping2() const { return m_aulDeviceState[2]; }
    ULONG m_GetDeviceStatePowerSystemSleeping3() const { return m_aulDeviceState[3]; }
    ULONG m_GetDeviceStatePowerSystemHibernate() const { return m_aulDeviceState[4]; }
    ULONG m_GetDeviceStatePowerSystemShutdown() const { return m_aulDeviceState[5]; }
    ULONG m_GetSystemWake() const { return m_ulSystemWake; }
    ULONG m_GetDeviceWake() const { return m_ulDeviceWake; }
    ULONG m_GetD1Latency() const { return m_ulD1Latency; }
    ULONG m_GetD2Latency() const { return m_ulD2Latency; }
    ULONG m_GetD3Latency() const { return m_ulD3Latency; }
    ULONG m_GetHandleDeviceTextLocationInformation() const { return m_ulHandleDeviceTextLocationInformation; }
    CTfString* m_GetDeviceTextLocationInformation() { return &m_DeviceTextLocationInformation; }
    ULONG m_GetHandleBusQueryHardwareIDs() const { return m_ulHandleBusQueryHardwareIDs; }
    ULONG m_GetHandleBusQueryCompatibleIDs() const { return m_ulHandleBusQueryCompatibleIDs; }
    CTfString* m_GetBusQueryCompatibleIDs() { return &m_BusQueryCompatibleIDs; }
    ULONG m_GetHandleBusQueryInstanceID() const { return m_ulHandleBusQueryInstanceID; }
    CTfString* m_GetBusQueryInstanceID() { return &m_BusQueryInstanceID; }
    ULONG m_GetReadServerType() const { return m_ulReadServerType; }
    ULONG m_GetIncomingWriteType() const { return m_ulIncomingWriteType; }
    ULONG m_GetBusNumber() const { return m_ulBusNumber; }

private:
    BOOLEAN m_AddEntries();

    CTfRegistryValueConstraint m_IoTypeConstraint;
    CTfRegistryValueConstraint m_DeviceStateConstraint;
    CTfRegistryValueConstraint m_SystemWakeConstraint;
    CTfRegistryValueConstraint m_LegacyBusTypeConstraint;
    CTfRegistryValueConstraint m_GuidConstraint;

    ULONG m_ulContextID;
    ULONG m_ulTypeOfDevice;
    CTfString m_DeviceName;
    CTfString m_DeviceTextDescription;
    CTfString m_BusQueryDeviceID;
    CTfString m_BusQueryHardwareIDs;
    CTfString m_BusTypeGuidString;
    GUID m_BusTypeGuid;
    ULONG m_ulLegacyBusType;
    CTfString m_SymbolicLinkName;
    ULONG m_ulDeviceIsExclusive;
    ULONG m_ulIoType;
    ULONG m_ulDoPowerPagable;
    ULONG m_ulChildDeviceID;
    ULONG m_ulLockSupported;
    ULONG m_ulEjectSupported;
    ULONG m_ulRemovable;
    ULONG m_ulDockDevice;
    ULONG m_ulUniqueID;
    ULONG m_ulSilentInstall;
    ULONG m_ulRawDeviceOK;
    ULONG m_ulSurpriseRemovalOK;
    ULONG m_ulWakeFromD0;
    ULONG m_ulWakeFromD1;
    ULONG m_ulWakeFromD2;
    ULONG m_ulWakeFromD3;
    ULONG m_ulHardwareDisabled;
    ULONG m_ulAddress;
    ULONG m_ulUINumber;
    ULONG m_aulDeviceState[TF_CHILD_DEVICE_STATES];
    ULONG m_ulSystemWake;
    ULONG m_ulDeviceWake;
    ULONG m_ulD1Latency;
    ULONG m_ulD2Latency;
    ULONG m_ulD3Latency;
    ULONG m_ulHandleDeviceTextLocationInformation;
    CTfString m_DeviceTextLocationInformation;
    ULONG m_ulHandleBusQueryHardwareIDs;
    ULONG m_ulHandleBusQueryCompatibleIDs;
    CTfString m_BusQueryCompatibleIDs;
    ULONG m_ulHandleBusQueryInstanceID;
    CTfString m_BusQueryInstanceID;
    ULONG m_ulReadServerType;
    ULONG m_ulIncomingWriteType;
    ULONG m_ulBusNumber;
    BOOLEAN m_bInvalid;
};
