// The transport a port object holds: connect and disconnect, writes serialised under the transport
// mutex, the vendor requests of the port's settings, and the continuous receive, each completed
// transfer handed to the port as a buffer object of its own.
#pragma once

#include <wdm.h>

#include "cvusb.h"
#include "tfbuffer.h"
#include "tfobject.h"
#include "tfobjectholder.h"

// Endpoint byte of a write that goes to the transport's write endpoint.
#define CV_TRANSPORT_DEFAULT_ENDPOINT 0xFF
// Endpoint handles of a port's bulk pipes.
#define CV_TRANSPORT_READ_HANDLE 1
#define CV_TRANSPORT_WRITE_HANDLE 2

// The port's receive routine: called in the bulk IN completion path (up to DISPATCH_LEVEL) with
// a buffer object the port owns from then on.
typedef BOOLEAN (*PCV_TRANSPORT_RECEIVE_CALLBACK)(PVOID pClient, CTfBuffer* pBuffer);

class CTransportBase : public CTfObject {
public:
    CTransportBase() : m_pClient(NULL), m_pReceiveCallback(NULL) {}
    virtual ~CTransportBase() {}

    virtual BOOLEAN m_Init() = 0;
    virtual BOOLEAN m_DeInit() = 0;
    virtual BOOLEAN m_Connect() = 0;
    virtual BOOLEAN m_Disconnect() = 0;
    // TRUE only when every byte was written; *pulWritten gets the bytes taken.
    virtual BOOLEAN m_Write(CTfBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndpoint) = 0;

    void m_SetClient(PVOID pClient, PCV_TRANSPORT_RECEIVE_CALLBACK pReceiveCallback)
    {
        m_pClient = pClient;
        m_pReceiveCallback = pReceiveCallback;
    }

protected:
    PVOID m_pClient;
    PCV_TRANSPORT_RECEIVE_CALLBACK m_pReceiveCallback;
};

class CUSBTransport : public CTransportBase {
public:
    // pPhysicalDeviceObject: the bus device's USB PDO. usPortIndex: the wIndex of the port's IN
    // requests.
    CUSBTransport(PDEVICE_OBJECT pPhysicalDeviceObject, UCHAR ucReadHandle, UCHAR ucWriteHandle, USHORT usPortIndex);
    // Runs m_DeInit.
    virtual ~CUSBTransport();

    // Creates and initialises the USB device and its bulk IN transfer. PASSIVE_LEVEL.
    virtual BOOLEAN m_Init();
    // Deletes the USB device once no call uses it. PASSIVE_LEVEL.
    virtual BOOLEAN m_DeInit();
    // Allocates the spare IRP.
    virtual BOOLEAN m_Connect();
    // Stops the receive, clears the timings, frees the spare IRP.
    virtual BOOLEAN m_Disconnect();
    virtual BOOLEAN m_Write(CTfBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndpoint);
    // Ends a write that does not finish (the writer then sees what was taken). Up to DISPATCH_LEVEL.
    void m_CancelWrite();
    // Stops writes (the one in flight is cancelled, later ones are refused unsent) or lets them
    // through again. Up to DISPATCH_LEVEL.
    void m_StopWrites(BOOLEAN bStop);
    // Port resets made by vendor-request retries (the chip may have lost its settings with each).
    ULONG m_GetPortResetCount();

    // Vendor request OUT without data, to the interface. PASSIVE_LEVEL.
    BOOLEAN m_WriteSettings(UCHAR ucRequest, USHORT usValue, USHORT usIndex);
    // Vendor request IN with wValue 0 and wIndex the port index, reading pBuffer's length of bytes.
    BOOLEAN m_ReadSettings(UCHAR ucRequest, CTfBuffer* pBuffer);

    // The receive: start with a size, stop, enable or disable its restart, size of the next restart.
    BOOLEAN m_ReadStart(ULONG ulSize);
    BOOLEAN m_ReadStop();
    BOOLEAN m_ReadEnable();
    BOOLEAN m_ReadDisable();
    BOOLEAN m_SetInterruptPipeBufferSize(ULONG ulSize);

    // For WMI: milliseconds between the last two bulk IN completions, and microseconds the last
    // receive callback took.
    ULONG m_GetBulkInIntervalMilliseconds() const { return m_ulBulkInInterval; }
    ULONG m_GetReceiveCallbackMicroseconds() const { return m_ulCallbackTime; }
    BOOLEAN m_IsSpareIrpAllocated() const { return m_bSpareIrpAllocated; }
    USHORT m_GetPortIndex() const { return m_usPortIndex; }

    // The bulk IN completion's data: copied into a new buffer object for the client.
    void m_ReadInterruptPipeCallback(PVOID pData, ULONG ulLength);

private:
    CUSBTransport(const CUSBTransport&) = delete;
    CUSBTransport& operator=(const CUSBTransport&) = delete;

    static void sm_OnBulkIn(PVOID pContext, PVOID pData, ULONG ulLength);
    // Calls a member of the device while it is held; FALSE without a device.
    BOOLEAN m_CallDevice(BOOLEAN (CUsbDevice::*pfnCall)());
    CUsbDevice* m_AcquireDevice() { return (CUsbDevice*)m_DeviceHolder.m_Acquire(); }
    void m_ReleaseDevice() { m_DeviceHolder.m_Release(); }

    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    CTfObjectHolder m_DeviceHolder;  // the CUsbDevice
    UCHAR m_ucReadHandle;
    UCHAR m_ucWriteHandle;
    USHORT m_usPortIndex;
    KMUTEX m_TransportMutex;  // serialises writes
    LARGE_INTEGER m_BulkInStamp;
    BOOLEAN m_bBulkInSeen;
    ULONG m_ulBulkInInterval;
    ULONG m_ulCallbackTime;
    BOOLEAN m_bSpareIrpAllocated;
};
