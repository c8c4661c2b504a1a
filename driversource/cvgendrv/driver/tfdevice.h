// Device base of the framework: what the functional and the physical child device have in common.
// It owns the naming of the kernel device object (its "\Device\" name and DOS-device link), the
// back pointer from the device object to the framework object, and the three request queues of a
// serial port. Received data enters the framework here.
//
// Device extension of every framework device object: exactly one CTfObjectHolder holding the
// framework object; the dispatch acquires the object through it around each call.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfcontrolqueue.h"
#include "tfdebug.h"
#include "tfobject.h"
#include "tfobjectholder.h"
#include "tfreadqueue.h"
#include "tfstring.h"
#include "tfwritequeue.h"

// Device kinds (the kind byte of the base).
#define TF_DEVICE_KIND_NONE 0
#define TF_DEVICE_KIND_PHYSICAL 1
#define TF_DEVICE_KIND_FUNCTIONAL 2

// Prefixes of device names and of DOS-device links ("\??\" from WDM 1.10 on).
#define TF_DEVICE_NAME_PREFIX u"\\Device\\"
#define TF_LINK_PREFIX u"\\??\\"
#define TF_LINK_PREFIX_OLD u"\\DosDevices\\"

class CTfDevice : public CTfObject {
public:
    CTfDevice();
    // The derived destructors delete the device object first (m_DeleteDevice). Defined here, so that
    // the class has no out-of-line virtual function.
    virtual ~CTfDevice()
    {
        TfDebugLog(7, "CTfDevice::~CTfDevice - IN");
        m_DeleteAuxiliaryObject();
        m_ObjectHolder.m_GetGate()->m_ClearEvent();
        // The queues go next, as members (wait-on-mask, write, read), each completing what it holds.
        TfDebugLog(7, "CTfDevice::~CTfDevice - OUT (Success)");
    }

    // One operation per major function the framework dispatches; each owns the request.
    virtual NTSTATUS m_Dispatch_Pnp(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Power(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Create(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Cleanup(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Close(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Read(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Write(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Device_Control(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_InternalDeviceControl(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_FlushBuffers(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Shutdown(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_SystemControl(PIRP pIrp) = 0;
    // The object's own device object.
    virtual PDEVICE_OBJECT m_GetDeviceObject() = 0;

    // Creates the device object ("\Device\" + pszDeviceName, unnamed without a name) with a device
    // extension holding pObject, its gate open; with both names also the link (DOS-device prefix +
    // pszLinkName). FALSE leaves no device object (*ppDeviceObject null). PASSIVE_LEVEL.
    static BOOLEAN m_CreateDevice(PDRIVER_OBJECT pDriverObject, const WCHAR* pszDeviceName, DEVICE_TYPE DeviceType,
                                  const WCHAR* pszLinkName, BOOLEAN bExclusive, CTfObject* pObject,
                                  PDEVICE_OBJECT* ppDeviceObject);
    // Deletes the link (when named) and the device object (when given). The device object always
    // goes, its extension emptied first (waiting for the users it admitted); FALSE only when the
    // link name could not be built (the link is then left). PASSIVE_LEVEL.
    static BOOLEAN m_DeleteDevice(PDEVICE_OBJECT pDeviceObject, const WCHAR* pszLinkName);
    // Links DOS-device prefix + pszLinkName to "\Device\" + pszDeviceName (a functional device's
    // own final device name). The link stays until its owner deletes it. PASSIVE_LEVEL.
    static BOOLEAN m_AddSymbolicLinkNameFor(const WCHAR* pszDeviceName, const WCHAR* pszLinkName);
    // The holder in a framework device object's extension.
    static CTfObjectHolder* sm_GetExtensionHolder(PDEVICE_OBJECT pDeviceObject);

    // Received data: the chunk goes to the read queue (which owns it from here), and its length
    // counts towards a held XOFF-counter request. At or below DISPATCH_LEVEL.
    void m_DataForPendingReadArrived(CTfBuffer* pChunk);
    // Received bytes held in the read queue.
    ULONG m_GetReadDataAmount();

    CTfReadQueue* m_GetReadQueue() { return &m_ReadQueue; }
    CTfWriteQueue* m_GetWriteQueue() { return &m_WriteQueue; }
    CTfControlQueue* m_GetControlQueue() { return &m_ControlQueue; }
    UCHAR m_GetDeviceKind() const { return m_ucDeviceKind; }
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

    // DOS-device prefix ("\??\" when WDM 1.10 is available, else "\DosDevices\") + pszLinkName; the
    // rule every creator and remover of a device link uses.
    static BOOLEAN sm_BuildLinkName(const WCHAR* pszLinkName, CTfString& LinkName);

protected:
    // Empties the extension's holder of a device object about to be deleted.
    static void sm_ReleaseExtension(PDEVICE_OBJECT pDeviceObject);
    // Deletes the owned auxiliary object, if any.
    void m_DeleteAuxiliaryObject();

    // Filled by the derived devices.
    UCHAR m_ucDeviceKind;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    CTfObjectHolder m_ObjectHolder;
    // Owned; deleted through its virtual destructor with the device.
    CTfObject* m_pAuxiliaryObject;

    // Destroyed in reverse order: wait-on-mask, write, read.
    CTfReadQueue m_ReadQueue;
    CTfWriteQueue m_WriteQueue;
    CTfControlQueue m_ControlQueue;

private:
    CTfDevice(const CTfDevice&) = delete;
    CTfDevice& operator=(const CTfDevice&) = delete;
};
