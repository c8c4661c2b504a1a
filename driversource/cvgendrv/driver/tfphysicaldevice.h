// The framework's child device object (PDO). A functional device creates one per "Child<i>"
// subkey of its hardware key; Plug and Play then loads the driver named by the child's IDs on it.
// The child answers the identity and capability queries from its registry set and passes device
// control and internal device control up to its parent functional device.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfdevice.h"
#include "tfioclient.h"
#include "tfrecordlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"
#include "tfstring.h"

class CTfFunctionalDevice;
class CTfPhysicalDeviceRegistryInformationSet;

// PnP states (the functional device's numbering).
#define TF_PDO_STATE_CONSTRUCTED 0
#define TF_PDO_STATE_STARTED 1
#define TF_PDO_STATE_STOPPED 2
#define TF_PDO_STATE_STOP_PENDING 3
#define TF_PDO_STATE_REMOVED 4
#define TF_PDO_STATE_REMOVE_PENDING 5
#define TF_PDO_STATE_SURPRISE_REMOVED 6

// ReadServerType values.
#define TF_READ_SERVER_CLIENT_RECORD 1  // reads take the records of the read client
#define TF_READ_SERVER_PARENT_QUEUE 2   // reads go to the parent's read queue

// IncomingWriteType values.
#define TF_INCOMING_WRITE_COPY 1          // a copy goes to the parent's entry 9, leading value 0
#define TF_INCOMING_WRITE_LEAD_VALUE 2    // the first 4 bytes are the leading value, the rest the data
#define TF_INCOMING_WRITE_PARENT_QUEUE 3  // the request goes to the parent's write queue

// Pool tag of the blocks handed to Plug and Play ("BGen").
#define TF_TAG_PNP_ANSWER TF_MAKE_POOL_TAG('B', 'G', 'e', 'n')

// One PnP-device-state bit: whether it is to be reported, and its value.
typedef struct _TF_PNP_STATE_PAIR {
    UCHAR ucPending;
    UCHAR ucValue;
} TF_PNP_STATE_PAIR;

// The six PnP-device-state bits, in reporting order.
#define TF_PNP_STATE_PAIR_COUNT 6

class CTfPhysicalDevice : public CTfDevice {
public:
    // Loads the registry set from hChildKey (an open "Child<i>" key; the caller closes it), names
    // the device object after DeviceName and SymbolicLinkName with ulParentIndex appended when not 0,
    // and creates it. *pbSuccess reports the result; a failed object is deleted by its owner.
    // PASSIVE_LEVEL.
    CTfPhysicalDevice(PDRIVER_OBJECT pDriverObject, CTfFunctionalDevice* pParent, HANDLE hChildKey,
                      ULONG ulParentIndex, PBOOLEAN pbSuccess);
    // Deletes the device object with its link, the read client record and the set. PASSIVE_LEVEL.
    virtual ~CTfPhysicalDevice();

    virtual NTSTATUS m_Dispatch_Pnp(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Power(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Create(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Cleanup(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Close(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Read(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Write(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Device_Control(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_InternalDeviceControl(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_FlushBuffers(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Shutdown(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_SystemControl(PIRP pIrp);
    virtual PDEVICE_OBJECT m_GetDeviceObject();

    // Queues a record for the registered read client (ReadServerType 1). On TRUE the record owns
    // pBuffer; FALSE (no client, no memory) leaves it with the caller. Up to DISPATCH_LEVEL.
    BOOLEAN m_PutReadRecord(ULONG ulValue, CTfBuffer* pBuffer);
    // TRUE while a read client is registered.
    BOOLEAN m_HasReadClient();

    // Set by the removal once the parent no longer lists this child: the framework then deletes
    // the object.
    BOOLEAN m_IsDeleted() const { return m_bDeleted; }
    ULONG m_GetPnpState() const { return m_ulPnpState; }
    DEVICE_POWER_STATE m_GetDevicePowerState() const { return m_DevicePowerState; }
    // Device power state for PowerSystemWorking .. PowerSystemShutdown (1 .. 6), as last answered
    // to IRP_MN_QUERY_CAPABILITIES; PowerDeviceUnspecified otherwise.
    DEVICE_POWER_STATE m_GetDeviceStateFor(SYSTEM_POWER_STATE SystemState) const;

    // The child's number (ContextID): the port index and the configuration set index.
    ULONG m_GetContextID() const;
    // The parent's own name index given at construction, or 0.
    ULONG m_GetParentIndex() const { return m_ulParentIndex; }
    CTfFunctionalDevice* m_GetParent() const { return m_pParent; }
    // The parent functional device's DEVICE_OBJECT (the target of forwarded requests).
    PDEVICE_OBJECT m_GetParentDeviceObject() const { return m_pParentDeviceObject; }
    CTfPhysicalDeviceRegistryInformationSet* m_GetRegistrySet() { return m_pRegistrySet; }
    // Ten records for an upper functional device; the framework only clears and frees them.
    CTfRecordList* m_GetRecordList() { return &m_RecordList; }
    // Name of the pairing partner of an upper "__YB" device; no registry value fills it.
    CTfString* m_GetPartnerName() { return &m_PartnerName; }
    // The device's own reference gate (not the extension holder's, which each dispatch holds),
    // taken by power requests and closed by the removal.
    CTfReferenceGate* m_GetRemoveGate() { return m_ObjectHolder.m_GetGate(); }
    ULONG m_GetIoServerValue() const { return m_ulIoServerValue; }

private:
    CTfPhysicalDevice(const CTfPhysicalDevice&) = delete;
    CTfPhysicalDevice& operator=(const CTfPhysicalDevice&) = delete;

    // The PnP minors with an answer of their own; each sets the request's status (or leaves it).
    void m_StartDevice(PIRP pIrp);
    void m_RemoveDevice(PIRP pIrp);
    void m_QueryDeviceRelations(PIRP pIrp);
    void m_QueryCapabilities(PIRP pIrp);
    void m_QueryDeviceText(PIRP pIrp);
    void m_QueryId(PIRP pIrp);
    void m_QueryBusInformation(PIRP pIrp);
    void m_QueryPnpDeviceState(PIRP pIrp);
    void m_DeviceUsageNotification(PIRP pIrp);

    NTSTATUS m_SetPower(PIRP pIrp);
    NTSTATUS m_QueryPower(PIRP pIrp);

    // Internal codes of the I/O server.
    NTSTATUS m_RegisterReadClient(PIRP pIrp);
    NTSTATUS m_QueryIoServer(PIRP pIrp);
    // Replaces the read client record (null: none); the old one is detached and deleted.
    void m_ReplaceReadClientRecord(CTfReadClientRecord* pRecord);

    // Hands a buffer to the parent's entry 9; FALSE when it could not be handed over (deleted).
    BOOLEAN m_HandToParent(ULONG ulLeadingValue, CTfBuffer* pBuffer);

    // A plain pool copy of pString for Plug and Play (which frees it), with ulExtraTerminators
    // further wide terminators after the first; null on failure.
    static PWCHAR sm_CopyForPnp(CTfString* pString, ULONG ulExtraTerminators);

    CTfRecordList m_RecordList;
    CTfPhysicalDeviceRegistryInformationSet* m_pRegistrySet;  // owned
    ULONG m_ulIoServerValue;
    ULONG m_ulParentIndex;
    CTfFunctionalDevice* m_pParent;
    BOOLEAN m_bDeleted;
    CTfReadClientRecord* m_pReadClientRecord;  // owned; guarded by m_ReadClientLock
    ULONG m_ulPnpState;
    DEVICE_POWER_STATE m_DevicePowerState;
    DEVICE_POWER_STATE m_aDeviceStates[PowerSystemMaximum];
    TF_PNP_STATE_PAIR m_aPnpStatePairs[TF_PNP_STATE_PAIR_COUNT];

    PDEVICE_OBJECT m_pDeviceObject;
    PDEVICE_OBJECT m_pParentDeviceObject;
    CTfString m_DeviceName;
    CTfString m_LinkName;
    CTfString m_PartnerName;
    CTfSpinLock m_ReadClientLock;
};
