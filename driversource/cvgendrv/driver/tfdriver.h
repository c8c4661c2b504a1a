// The framework's driver object: the record a driver's DriverEntry hands over, the entry points the
// framework installs in the DRIVER_OBJECT, and the common dispatch path from an IRP to the framework
// device object it is meant for. Also the driver-wide list on which functional devices pair.
//
// DRIVER_OBJECT.DriverStartIo holds the CTfDriver pointer: the framework installs no StartIo
// routine and uses that field as its back pointer from every device object.
#pragma once

#include <wdm.h>

#include "tfdevice.h"
#include "tfdevicecallbacks.h"
#include "tfevent.h"
#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"
#include "tfstring.h"

class CTfFunctionalDevice;
class TfUserModeInterface;

// Creates the driver's per-device object and may fill callback entries. ppAddDeviceFunction is the
// address of entry 0 of pCallbacks, where the driver hands back its add-device routine.
typedef BOOLEAN (*PTF_DRIVER_CREATE_CALLBACK)(CTfDeviceCallbacks* pCallbacks,
                                              PTF_ADD_DEVICE_FUNCTION* ppAddDeviceFunction, CTfObject** ppObject);
// Deletes an object made by the create callback.
typedef void (*PTF_DRIVER_DELETE_CALLBACK)(CTfObject* pObject);
// Called after the framework driver object is gone (road 2 of the unload) and at a device's removal.
typedef void (*PTF_DRIVER_NOTIFY_CALLBACK)(void);
// Gives a new device's configuration interface its information set and interface class GUID.
typedef BOOLEAN (*PTF_DRIVER_DEVICE_ADDED_CALLBACK)(TfUserModeInterface* pInterface);

// Filled on the stack of the driver's DriverEntry and read once by CTfDriver::sm_CreateDriver.
typedef struct _TF_DRIVER_DESCRIPTION {
    PDRIVER_OBJECT pDriverObject;
    PUNICODE_STRING pRegistryPath;
    const WCHAR* pszServiceName;  // "Enumdrv39", "Portdrv39"
    const WCHAR* pszImageName;    // "Enumdrv39.sys", "Portdrv39.sys"
    PTF_DRIVER_CREATE_CALLBACK pCreateCallback;
    PTF_DRIVER_DELETE_CALLBACK pDeleteCallback;
    PTF_DRIVER_NOTIFY_CALLBACK pUnloadCallback;
    PTF_DRIVER_DEVICE_ADDED_CALLBACK pDeviceAddedCallback;
    PTF_DRIVER_NOTIFY_CALLBACK pRemovalCallback;
} CTfDriverDescription, *PTF_DRIVER_DESCRIPTION;

// Status of a registry path that could not be copied.
#define TF_STATUS_REGISTRY_PATH_COPY ((NTSTATUS)0xC0000150L)

// The registry path copy lives in a small base of its own.
class CTfDriverRegistryPath : public CTfObject {
public:
    CTfDriverRegistryPath() : m_RegistryPath(NonPagedPool) {}
    virtual ~CTfDriverRegistryPath() {}

protected:
    CTfString m_RegistryPath;
};

class CTfDriver : public CTfDriverRegistryPath {
public:
    CTfDriver();
    // Frees the names, the device list and the registry path copy.
    virtual ~CTfDriver();

    // Called once from the driver's DriverEntry, whose result it is.
    static NTSTATUS sm_CreateDriver(CTfDriverDescription* pDescription);
    NTSTATUS m_DriverEntry(CTfDriverDescription* pDescription);

    // AddDevice routine; m_AddDevice does the work.
    static NTSTATUS sm_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
    NTSTATUS m_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);

    // DriverUnload routine; m_DeleteDriver deletes the framework driver object of pDriverObject and
    // then calls its unload callback.
    static void sm_DriverUnload(PDRIVER_OBJECT pDriverObject);
    static void m_DeleteDriver(PDRIVER_OBJECT pDriverObject, BOOLEAN bOnRemoval);

    // One static dispatch routine per major function.
    static NTSTATUS sm_Dispatch_Pnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Power(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Create(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Cleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Close(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Read(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Write(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Device_Control(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_InternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_FlushBuffers(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_Shutdown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_QueryInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_SetInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    static NTSTATUS sm_Dispatch_SystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

    NTSTATUS m_Dispatch_Pnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Power(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Create(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Cleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Close(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Read(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Write(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Device_Control(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_InternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_FlushBuffers(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_Shutdown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_QueryInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_SetInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    NTSTATUS m_Dispatch_SystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

    // Acquires the framework device behind pDeviceObject (or, with bRedirect, the device paired to
    // it). On failure the IRP has been completed and the status is returned. Every device returned
    // is paired with m_ReleaseDevice.
    NTSTATUS m_GetDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction, CTfDevice** ppDevice,
                         BOOLEAN bRedirect);
    void m_ReleaseDevice(CTfDevice* pDevice);

    // Deletes the framework object of a device object after a successful removal: closes the
    // extension holder's gate, waits (PASSIVE_LEVEL) for every reference, takes the object out of
    // the holder and deletes it. pDevice is the caller's reference, which is released first. FALSE
    // (nothing deleted) when the references could not be waited for.
    static BOOLEAN sm_DeleteDeviceObject(PDEVICE_OBJECT pDeviceObject, CTfDevice* pDevice);

    // The framework driver object of a DRIVER_OBJECT (DriverStartIo), or null.
    static CTfDriver* sm_FromDriverObject(PDRIVER_OBJECT pDriverObject);
    // The framework device of a device object's extension, without taking a reference (null when
    // the device object is not a framework device of this driver's kind).
    static CTfDevice* sm_PeekDevice(PDEVICE_OBJECT pDeviceObject);

    // Pairing list: DEVICE_OBJECT pointers of the functional devices that took part in pairing,
    // guarded by the driver lock together with every device's pairing pointer.
    CTfPointerList* m_GetDeviceList() { return &m_DeviceList; }
    CTfSpinLock* m_GetDriverLock() { return &m_DriverLock; }

    CTfString& m_GetRegistryPath() { return m_RegistryPath; }
    CTfString& m_GetServiceName() { return m_ServiceName; }
    CTfString& m_GetImageName() { return m_ImageName; }
    PTF_DRIVER_CREATE_CALLBACK m_GetCreateCallback() const { return m_pCreateCallback; }
    PTF_DRIVER_DELETE_CALLBACK m_GetDeleteCallback() const { return m_pDeleteCallback; }
    PTF_DRIVER_NOTIFY_CALLBACK m_GetUnloadCallback() const { return m_pUnloadCallback; }
    PTF_DRIVER_DEVICE_ADDED_CALLBACK m_GetDeviceAddedCallback() const { return m_pDeviceAddedCallback; }
    PTF_DRIVER_NOTIFY_CALLBACK m_GetRemovalCallback() const { return m_pRemovalCallback; }
    // Device counter of naming policy 1 (one per driver image).
    PULONG m_GetDeviceCounter() { return &m_ulDeviceCounter; }

private:
    CTfDriver(const CTfDriver&) = delete;
    CTfDriver& operator=(const CTfDriver&) = delete;

    CTfPointerList m_DeviceList;
    CTfSpinLock m_DriverLock;
    CTfString m_ServiceName;
    CTfString m_ImageName;
    PTF_DRIVER_CREATE_CALLBACK m_pCreateCallback;
    PTF_DRIVER_DELETE_CALLBACK m_pDeleteCallback;
    PTF_DRIVER_NOTIFY_CALLBACK m_pUnloadCallback;
    PTF_DRIVER_DEVICE_ADDED_CALLBACK m_pDeviceAddedCallback;
    PTF_DRIVER_NOTIFY_CALLBACK m_pRemovalCallback;
    CTfEvent m_UnloadEvent;  // only where WDM 1.10 is not available
    ULONG m_ulDeviceCounter;
};

// Image globals: the framework driver object and the count of drivers created.
CTfDriver* TfGetDriver(void);
LONG TfGetDriverCount(void);

// Framework reference of the image; the first also takes the tools library's reference. TRUE when
// the count reached 2 or more, or the library reference was taken.
BOOLEAN TfFrameworkAddReference(void);
// Drops it; at zero the tools library is released.
void TfFrameworkRelease(void);
LONG TfFrameworkGetReferenceCount(void);
