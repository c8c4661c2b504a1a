// The framework's functional device object (FDO): created by CTfDriver::m_AddDevice for each
// physical device object Plug and Play hands to the driver. It names and attaches the device
// object, reads the device's registry set, serves the configuration interface, builds the WMI
// object and turns every request into a call of the driver's own code through CTfDeviceCallbacks.
//
// Sources: tffunctionaldevice.cpp (construction, destruction, naming, pairing and the non-PnP
// dispatch), tffunctionaldevicepnp.cpp (PnP, resources, children) and tffunctionaldevicepower.cpp.
#pragma once

#include <wdm.h>

#include "tfcallbackobject.h"
#include "tfdevice.h"
#include "tfdevicecallbacks.h"
#include "tfdriver.h"
#include "tfobjectholder.h"
#include "tfpassivelevelexecutor.h"
#include "tfpointerlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"
#include "tfstring.h"
#include "tfdeviceregistrysets.h"
#include "tfusermodeinterface.h"

class CWmi;
class CTfIoClient;
class CTfPhysicalDevice;

// PnP states (0: constructed, not yet started).
#define TF_PNP_STATE_NONE 0
#define TF_PNP_STATE_STARTED 1
#define TF_PNP_STATE_STOPPED 2
#define TF_PNP_STATE_STOP_PENDING 3
#define TF_PNP_STATE_REMOVED 4
#define TF_PNP_STATE_REMOVE_PENDING 5
#define TF_PNP_STATE_SURPRISE_REMOVED 6

// The six PnP-device-state pairs, in this order.
#define TF_PNP_DEVICE_STATE_DISABLED 0
#define TF_PNP_DEVICE_STATE_DONT_DISPLAY_IN_UI 1
#define TF_PNP_DEVICE_STATE_FAILED 2
#define TF_PNP_DEVICE_STATE_NOT_DISABLEABLE 3
#define TF_PNP_DEVICE_STATE_REMOVED 4
#define TF_PNP_DEVICE_STATE_RESOURCE_REQUIREMENTS_CHANGED 5
#define TF_PNP_DEVICE_STATE_COUNT 6

// Power table: DeviceState for PowerSystemWorking (1) to PowerSystemShutdown (6), indexed by the
// system state (entry 0 unused).
#define TF_POWER_TABLE_SIZE 7

// Serial XOFF-counter control code: held by the write queue.
#define TF_IOCTL_SERIAL_XOFF_COUNTER 0x1B0070
// Input of IOCTL_SERIAL_XOFF_COUNTER: Timeout, Counter, XoffChar.
#define TF_XOFF_COUNTER_INPUT_LENGTH 12

// Registry values of naming policy 1.
#define TF_FDO_NAME_DEVICE_COUNT u"DeviceCount"
#define TF_FDO_NAME_DEVICE_NAME_INDEX u"DeviceNameIndex"

typedef struct _TF_PNP_DEVICE_STATE_PAIR {
    UCHAR ucPending;
    UCHAR ucValue;
} TF_PNP_DEVICE_STATE_PAIR;

// Resource list records (one list per kind).
typedef struct _TF_PORT_RESOURCE {
    ULONG ulTranslatedStart;
    ULONG ulTranslatedLength;
    ULONG ulRawStart;
} TF_PORT_RESOURCE, *PTF_PORT_RESOURCE;

typedef struct _TF_MEMORY_RESOURCE {
    PVOID pMappedAddress;
    ULONG ulLength;
    ULONG ulRawStart;
} TF_MEMORY_RESOURCE, *PTF_MEMORY_RESOURCE;

typedef struct _TF_INTERRUPT_RESOURCE {
    ULONG ulTranslatedLevel;
    ULONG ulTranslatedVector;
    KAFFINITY TranslatedAffinity;
    ULONG ulRawVector;
} TF_INTERRUPT_RESOURCE, *PTF_INTERRUPT_RESOURCE;

typedef struct _TF_DMA_RESOURCE {
    ULONG ulChannel;
    ULONG ulPort;
} TF_DMA_RESOURCE, *PTF_DMA_RESOURCE;

typedef struct _TF_MESSAGE_INTERRUPT_RESOURCE {
    USHORT usMessageCount;
    ULONG ulRawVector;
    KAFFINITY RawAffinity;
    ULONG ulTranslatedLevel;
    ULONG ulTranslatedVector;
    KAFFINITY TranslatedAffinity;
} TF_MESSAGE_INTERRUPT_RESOURCE, *PTF_MESSAGE_INTERRUPT_RESOURCE;

// One child in the children list.
typedef struct _TF_CHILD_RECORD {
    UCHAR ucFlag;
    PDEVICE_OBJECT pChildDeviceObject;
    ULONG ulContextId;
    ULONG ulReserved1;
    ULONG ulReserved2;
} TF_CHILD_RECORD, *PTF_CHILD_RECORD;

class CTfFunctionalDevice : public CTfDevice {
public:
    // *pbSuccess tells whether construction succeeded; on failure the caller deletes the object.
    CTfFunctionalDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                        const CTfString& RegistryPath, BOOLEAN* pbSuccess);
    virtual ~CTfFunctionalDevice();

    // Dispatch (the CTfDevice slots). Each owns the request.
    virtual NTSTATUS m_Dispatch_Pnp(PIRP pIrp);    // tffunctionaldevicepnp.cpp
    virtual NTSTATUS m_Dispatch_Power(PIRP pIrp);  // tffunctionaldevicepower.cpp
    virtual NTSTATUS m_Dispatch_Create(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Cleanup(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Close(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Read(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Write(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Device_Control(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_InternalDeviceControl(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_FlushBuffers(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_Shutdown(PIRP pIrp);
    virtual NTSTATUS m_Dispatch_SystemControl(PIRP pIrp);  // through CWmi
    virtual PDEVICE_OBJECT m_GetDeviceObject();
    // IoOpenDeviceRegistryKey on the PDO (PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL); 0 on failure.
    virtual HANDLE m_OpenDeviceRegistryKey();
    // The n-th (1-based) record of a resource list; null for 0 or past the end
    // (tffunctionaldevice.cpp).
    virtual PTF_PORT_RESOURCE m_GetPortResource(ULONG ulIndex);
    virtual PTF_MEMORY_RESOURCE m_GetMemoryResource(ULONG ulIndex);
    virtual PTF_INTERRUPT_RESOURCE m_GetInterruptResource(ULONG ulIndex);
    virtual PTF_DMA_RESOURCE m_GetDmaResource(ULONG ulIndex);
    virtual PTF_MESSAGE_INTERRUPT_RESOURCE m_GetMessageInterruptResource(ULONG ulIndex);
    // Asks the named callback object for the registered lowest-layer device's PDO
    // (tffunctionaldevicepnp.cpp).
    virtual BOOLEAN m_QueryCallbackObjectOwner(PDEVICE_OBJECT* ppPhysicalDeviceObject);

    // Pairing on the driver's device list (construction) and unpairing (removal, failed
    // construction). Unpairing may be called more than once.
    BOOLEAN m_PairDevices();
    void m_UnpairDevices();

    // PnP, resources and children (tffunctionaldevicepnp.cpp).
    NTSTATUS m_StartDeviceResources(PCM_RESOURCE_LIST pRawResources, PCM_RESOURCE_LIST pTranslatedResources);
    void m_EmptyResourceLists();
    BOOLEAN m_CreateAllChildDevices(HANDLE hDeviceKey);
    BOOLEAN m_CreateChildDevice(HANDLE hDeviceKey, ULONG ulChild, ULONG ulIndex, const CTfString& DoNotCreateName,
                                CTfPointerList* pCreated);
    BOOLEAN m_ListChildDevice(CTfPhysicalDevice* pChild);
    void m_DeleteCreatedChildDevices(CTfPointerList* pCreated);
    void m_DeleteAllChildDevices();
    NTSTATUS HandleBusRelations(PIRP pIrp);
    void m_Remove();
    BOOLEAN m_IsChildDevice(PDEVICE_OBJECT pDeviceObject);
    static NTSTATUS sm_QueryCapabilitiesCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    // The minors with more than a line of work.
    NTSTATUS m_StartDevice(PIRP pIrp);
    NTSTATUS m_RestartDevice(PIRP pIrp);
    BOOLEAN m_CreateChildrenAndClient(const CTfRoutineLog& Log);
    NTSTATUS m_CallDriverStart(PIRP pIrp);
    NTSTATUS m_StopDevice(PIRP pIrp);
    NTSTATUS m_QueryStopDevice(PIRP pIrp);
    NTSTATUS m_CancelStopDevice(PIRP pIrp);
    NTSTATUS m_QueryDeviceRelations(PIRP pIrp);
    NTSTATUS m_QueryCapabilities(PIRP pIrp);
    NTSTATUS m_FilterResourceRequirements(PIRP pIrp);
    NTSTATUS m_DeviceUsageNotification(PIRP pIrp);
    NTSTATUS m_RemoveDevice(PIRP pIrp);
    void m_QueryPnpDeviceState(PIRP pIrp);

    // Power (tffunctionaldevicepower.cpp).
    BOOLEAN m_GotoPowerState(DEVICE_POWER_STATE DeviceState);
    NTSTATUS m_HandleSystemPowerStateChange(PIRP pIrp);
    NTSTATUS m_HandleDevicePoweringDown(PIRP pIrp);
    NTSTATUS m_HandleDevicePoweringUp(PIRP pIrp);
    static NTSTATUS sm_PowerUpCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    // The rest of a device power-up at PASSIVE_LEVEL: entry 16, the new state, the next power request.
    void m_FinishPowerUp(PIRP pIrp);
    static void sm_PowerUpWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext);
    static NTSTATUS sm_SystemPowerCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    static void sm_SystemPowerRequestComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction,
                                              POWER_STATE PowerState, PVOID pContext, PIO_STATUS_BLOCK pIoStatus);
    static void sm_GotoPowerStateComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction,
                                          POWER_STATE PowerState, PVOID pContext, PIO_STATUS_BLOCK pIoStatus);

    // Hooks (tffunctionaldevice.cpp).
    static BOOLEAN sm_WriteQueueCallback(PVOID pContext, CTfBuffer* pBuffer);
    static void sm_CallbackObjectRoutine(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

    // Calls entry 9 with the driver-specific object (FALSE, buffer not taken, when the object or
    // the entry is missing). Used by the FDO's own writes and by the children's writes.
    BOOLEAN m_CallChildWrite(ULONG ulLeadingValue, CTfBuffer* pBuffer);

    // The driver-specific object through its holder; every object returned is paired with
    // m_ReleaseSpecificObject.
    CTfObject* m_AcquireSpecificObject() { return m_SpecificObjectHolder.m_Acquire(); }
    void m_ReleaseSpecificObject() { m_SpecificObjectHolder.m_Release(); }

    // Accessors.
    CTfDeviceCallbacks* m_GetCallbacks() { return &m_Callbacks; }
    TfUserModeInterface* m_GetUserModeInterface() { return &m_UserModeInterface; }
    CTfFunctionalDeviceRegistryInformationSet* m_GetRegistrySet() { return m_pRegistrySet; }
    PDRIVER_OBJECT m_GetDriverObject() const { return m_pDriverObject; }
    PDEVICE_OBJECT m_GetLowerDeviceObject() const { return m_pLowerDeviceObject; }
    CTfDriver* m_GetDriver() const { return CTfDriver::sm_FromDriverObject(m_pDriverObject); }
    CWmi* m_GetWmi() const { return m_pWmi; }
    CTfPassiveLevelExecutor* m_GetExecutor() const { return m_Callbacks.m_pExecutor; }
    CTfString& m_GetDeviceName() { return m_DeviceName; }
    CTfString& m_GetSymbolicLinkName() { return m_SymbolicLinkName; }
    CTfString& m_GetRegistryPath() { return m_RegistryPath; }
    ULONG m_GetNameIndex() const { return m_ulNameIndex; }
    ULONG m_GetPnpState() const { return m_ulPnpState; }
    void m_SetPnpState(ULONG ulState) { m_ulPnpState = ulState; }
    DEVICE_POWER_STATE m_GetDevicePowerState() const { return m_DevicePowerState; }
    BOOLEAN m_IsLowestStackLayer() const { return m_bLowestStackLayer; }
    BOOLEAN m_IsFirstPartner() const { return m_ucFirstPartner != 0; }
    // The device's own reference gate (besides the extension holder's), taken around power and
    // removal steps.
    CTfReferenceGate* m_GetRemoveGate() { return m_ObjectHolder.m_GetGate(); }
    // Pairing pointer: the device object that serves redirectable requests for this device.
    // Read and written under the driver lock.
    PDEVICE_OBJECT m_GetPairedDeviceObject() const { return m_pPairedDeviceObject; }
    void m_SetPairedDeviceObject(PDEVICE_OBJECT pDeviceObject) { m_pPairedDeviceObject = pDeviceObject; }
    // The first partner of an upper "__YB" device, referenced while paired; under the driver lock.
    PDEVICE_OBJECT m_GetPartnerDeviceObject() const { return m_pPartnerDeviceObject; }

protected:
    // Construction steps, in order; each FALSE stops construction (the constructor tears down).
    BOOLEAN m_CreateDriverObject(CTfDriver* pDriver, CTfObject** ppObject);
    BOOLEAN m_ReadDeviceSettings(PHANDLE phDeviceKey);
    BOOLEAN m_ReadDeviceSettingsFrom(HANDLE hDeviceKey);
    BOOLEAN m_CreateDeviceObject(PDRIVER_OBJECT pDriverObject);
    BOOLEAN m_InitConfigurationInterface(CTfDriver* pDriver);
    BOOLEAN m_CallAddDevice(CTfDriver* pDriver, CTfObject* pObject);
    BOOLEAN m_CreateHelpers(CTfObject* pObject);
    BOOLEAN m_NameDevice(HANDLE hDeviceKey);
    BOOLEAN m_NameByCountPolicy(HANDLE hDeviceKey);
    BOOLEAN m_NameByChildPolicy();
    BOOLEAN m_AppendIndexToNames();
    // The framework device of the PDO below when it is a framework child (kind 1), acquired
    // through its holder; null otherwise. Paired with m_ReleaseChildBelow.
    CTfPhysicalDevice* m_AcquireChildBelow();
    void m_ReleaseChildBelow();
    // Tears down what construction built; safe to call twice.
    void m_TearDown();

    // Dispatch helpers.
    // TRUE when the request's file object names the configuration interface; *pStatus holds a
    // failure (the caller completes the request with it) when the name could not be tested.
    BOOLEAN m_IsConfigurationHandle(PIRP pIrp, NTSTATUS* pStatus);
    BOOLEAN m_CompleteIfConfigurationHandle(PIRP pIrp, NTSTATUS ConfigurationStatus, PNTSTATUS pCompletedStatus);
    NTSTATUS m_QueueDirectWrite(PIRP pIrp);
    static void sm_DirectWriteRoutine(PVOID pContext, PVOID pArgument);
    static void sm_DirectWriteDiscard(PVOID pContext, PVOID pArgument);
    // Completes with Information clamped to the output length.
    static NTSTATUS sm_CompleteControl(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation, ULONG ulOutputLength);

    // Beside each field: what guards it. "set once" fields are written by the constructor before
    // the device object takes requests and only read afterwards; "PnP" fields are written by the
    // PnP (or power) dispatch, which Plug and Play calls for one request of a device at a time.
    // 1. Driver object (the PDO is the base's).
    PDRIVER_OBJECT m_pDriverObject;  // set once
    // 2. WMI and pairing.
    CWmi* m_pWmi;                           // set once; deleted by the tear-down
    UCHAR m_ucFirstPartner;                 // set once (while pairing)
    PDEVICE_OBJECT m_pPartnerDeviceObject;  // the driver lock; referenced
    PDEVICE_OBJECT m_pPairedDeviceObject;   // the driver lock
    BOOLEAN m_bListed;                      // written under the driver lock by pairing and unpairing only; on
                                            // the driver's device list
    // 3. PnP and power.
    ULONG m_ulPnpState;                     // PnP; read by the device-control dispatch
    DEVICE_POWER_STATE m_DevicePowerState;  // PnP (start) and power
    DEVICE_POWER_STATE m_PowerTable[TF_POWER_TABLE_SIZE];
    TF_PNP_DEVICE_STATE_PAIR m_PnpDeviceState[TF_PNP_DEVICE_STATE_COUNT];
    UCHAR m_ucPowerPageable;
    // 4. I/O client.
    CTfIoClient* m_pIoClient;  // PnP (created at the first start, deleted at removal)
    // 5. Callback table.
    CTfDeviceCallbacks m_Callbacks;  // set once
    // 6. Registry set.
    CTfFunctionalDeviceRegistryInformationSet* m_pRegistrySet;  // set once
    // 7. Names.
    CTfString m_DeviceName;        // set once
    CTfString m_SymbolicLinkName;  // set once
    CTfString m_RegistryPath;      // set once
    ULONG m_ulNameIndex;           // set once
    // 8. Driver-specific object.
    CTfObjectHolder m_SpecificObjectHolder;  // own gate
    // 9. Resource lists.
    CTfPointerList m_PortList;
    CTfPointerList m_MemoryList;
    CTfPointerList m_InterruptList;
    CTfPointerList m_DmaList;
    CTfPointerList m_MessageInterruptList;
    // 10. Own and lower device objects.
    PDEVICE_OBJECT m_pDeviceObject;       // set once
    PDEVICE_OBJECT m_pLowerDeviceObject;  // set once
    BOOLEAN m_bLinkCreated;               // set once
    // 11. Children.
    CTfSpinLock m_ChildrenLock;
    CTfPointerList m_ChildList;  // m_ChildrenLock; PTF_CHILD_RECORD
    ULONG m_ulChildCount;        // m_ChildrenLock
    // 12. Named callback object and the lowest-stack-layer flag.
    CTfCallbackObject m_CallbackObject;  // set once
    BOOLEAN m_bLowestStackLayer;         // set once
    // 13. Configuration interface.
    TfUserModeInterface m_UserModeInterface;
    // 14. Open gate: one open at a time.
    CTfReferenceGate m_OpenGate;  // own lock

private:
    CTfFunctionalDevice(const CTfFunctionalDevice&) = delete;
    CTfFunctionalDevice& operator=(const CTfFunctionalDevice&) = delete;
};

// GUID of the named callback object ("\Callback\{B7D1E087-F16B-40C1-B55E-A9B412D71BE3}").
extern const GUID g_TfCallbackObjectGuid;
