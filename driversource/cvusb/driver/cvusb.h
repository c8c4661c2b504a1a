// The bus driver's view of the adapter's USB device: its device descriptor, the endpoints the
// registry names (written by the bus INF), the class check, the configuration selection, and the
// small endpoint handles the rest of the driver uses (1 for a port's bulk IN pipe, 2 for its bulk
// OUT pipe) mapped to USB pipe handles. Vendor requests to the interface, bulk writes and the
// control of the bulk IN transfer go through its URB layer (CUsbTransport).
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include "cvusbtransport.h"
#include "tfbuffer.h"
#include "tfobject.h"

// Endpoints read from the registry, interfaces of a configuration, and pipes of an interface, at most.
#define CVUSB_MAX_ENDPOINTS 16
#define CVUSB_MAX_INTERFACES 8
#define CVUSB_MAX_PIPES 16
// Largest transfer asked of every pipe at selection.
#define CVUSB_PIPE_MAXIMUM_TRANSFER_SIZE 4096
// Endpoint handle of a pipe that no registry endpoint names.
#define CVUSB_NO_ENDPOINT_HANDLE 0

// One registry endpoint ("USB\EndPoint<n>").
typedef struct _CVUSB_ENDPOINT {
    UCHAR ucHandle;
    UCHAR ucInterfaceNumber;
    UCHAR ucAlternateSetting;
    UCHAR ucAddress;
    UCHAR ucType;
    UCHAR ucCallbackNeeded;
    ULONG ulMaximumTransferSize;
} CVUSB_ENDPOINT, *PCVUSB_ENDPOINT;

// One pipe of a selected interface.
typedef struct _CVUSB_PIPE {
    USHORT usMaximumPacketSize;
    UCHAR ucEndpointAddress;
    UCHAR ucInterval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE hPipe;
    UCHAR ucEndpointHandle;  // the registry's handle for it, or CVUSB_NO_ENDPOINT_HANDLE
} CVUSB_PIPE, *PCVUSB_PIPE;

// One interface of the selected configuration.
typedef struct _CVUSB_INTERFACE {
    UCHAR ucInterfaceNumber;
    UCHAR ucAlternateSetting;
    UCHAR ucClass;
    UCHAR ucSubClass;
    UCHAR ucProtocol;
    USBD_INTERFACE_HANDLE hInterface;
    ULONG ulPipeCount;
    CVUSB_PIPE aPipes[CVUSB_MAX_PIPES];
} CVUSB_INTERFACE, *PCVUSB_INTERFACE;

class CUsbDevice : public CTfObject {
public:
    CUsbDevice();
    // Stops the bulk IN transfer and frees the configuration descriptor.
    virtual ~CUsbDevice();

    // Reads the device descriptor and the registry description, checks the class, selects the
    // configuration. FALSE at the first step that fails. PASSIVE_LEVEL.
    BOOLEAN m_Init(PDEVICE_OBJECT pPhysicalDeviceObject);
    // The "USB" subkey and the "EndPoint<n>" subkeys below it, until one cannot be read.
    BOOLEAN m_ReadRegistryConfiguration();
    // Selects the configuration with the interfaces the endpoints name and maps every endpoint
    // handle to its pipe.
    BOOLEAN m_SelectConfiguration();

    // The pipe that carries an endpoint handle; FALSE when none does.
    BOOLEAN m_GetPipeHandle(UCHAR ucEndpointHandle, USBD_PIPE_HANDLE* phPipe);

    // A vendor request to the interface (URB_FUNCTION_VENDOR_INTERFACE) reading pBuffer's length
    // of bytes, or sending pBuffer (optional). PASSIVE_LEVEL.
    BOOLEAN m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT usValue, USHORT usInterfaceIndex, CTfBuffer* pBuffer);
    BOOLEAN m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT usValue, USHORT usInterfaceIndex,
                                        CTfBuffer* pBuffer);
    // Bulk transfer out on the endpoint's pipe; *pulWritten gets the bytes taken. PASSIVE_LEVEL.
    BOOLEAN m_Write(CTfBuffer* pBuffer, UCHAR ucEndpointHandle, PULONG pulWritten);

    // The bulk IN transfer: callback registration and creation, then start (with the endpoint
    // handle), stop, enable, disable and the size of the next restart.
    BOOLEAN m_CreateReadTransfer(PCVUSB_BULK_IN_CALLBACK pCallback, PVOID pContext);
    BOOLEAN m_StartRead(UCHAR ucEndpointHandle, ULONG ulSize);
    BOOLEAN m_StopRead();
    BOOLEAN m_EnableRead();
    BOOLEAN m_DisableRead();
    void m_SetReadSize(ULONG ulSize) { m_Transport.m_SetInterruptUrbSize(ulSize); }

    CUsbTransport* m_GetTransport() { return &m_Transport; }
    const USB_DEVICE_DESCRIPTOR* m_GetDeviceDescriptor() const { return &m_DeviceDescriptor; }
    ULONG m_GetEndpointCount() const { return m_ulEndpointCount; }
    const CVUSB_ENDPOINT* m_GetEndpoint(ULONG ulIndex) const
    {
        return ulIndex < m_ulEndpointCount ? &m_aEndpoints[ulIndex] : NULL;
    }
    ULONG m_GetInterfaceCount() const { return m_ulInterfaceCount; }
    const CVUSB_INTERFACE* m_GetInterface(ULONG ulIndex) const
    {
        return ulIndex < m_ulInterfaceCount ? &m_aInterfaces[ulIndex] : NULL;
    }
    USBD_CONFIGURATION_HANDLE m_GetConfigurationHandle() const { return m_hConfiguration; }

private:
    CUsbDevice(const CUsbDevice&) = delete;
    CUsbDevice& operator=(const CUsbDevice&) = delete;

    // GET_DESCRIPTOR_FROM_DEVICE into pBuffer; *pulRead gets the bytes the device sent.
    BOOLEAN m_ReadDescriptor(UCHAR ucType, UCHAR ucIndex, PVOID pBuffer, ULONG ulLength, PULONG pulRead);
    BOOLEAN m_ReadConfigurationDescriptor();
    BOOLEAN m_ReadEndPoints(HANDLE hUsbKey);
    BOOLEAN m_ReadEndPoint(HANDLE hUsbKey, ULONG ulNumber);
    // The interface list of the selection: one entry per distinct interface of the endpoints,
    // and a null entry at the end. Null on failure; the caller frees it.
    PUSBD_INTERFACE_LIST_ENTRY m_BuildInterfaceList();
    BOOLEAN m_SubmitSelection(PUSBD_INTERFACE_LIST_ENTRY pList);
    void m_KeepInterface(PUSBD_INTERFACE_INFORMATION pInterface);
    BOOLEAN m_MapEndpointHandles();
    void m_LogDescriptor();
    void m_LogRegistry();
    BOOLEAN m_VendorInterfaceRequest(const char* pszName, UCHAR ucRequest, USHORT usValue, USHORT usInterfaceIndex,
                                     BOOLEAN bIn, CTfBuffer* pBuffer);

    CUsbTransport m_Transport;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
    // The registry description.
    UCHAR m_ucDeviceClass;
    UCHAR m_ucDeviceSubClass;
    UCHAR m_ucDeviceProtocol;
    UCHAR m_ucSelectedConfiguration;
    CVUSB_ENDPOINT m_aEndpoints[CVUSB_MAX_ENDPOINTS];
    ULONG m_ulEndpointCount;
    // The selected configuration.
    PUSB_CONFIGURATION_DESCRIPTOR m_pConfigurationDescriptor;  // tracked
    USBD_CONFIGURATION_HANDLE m_hConfiguration;
    CVUSB_INTERFACE m_aInterfaces[CVUSB_MAX_INTERFACES];
    ULONG m_ulInterfaceCount;
};
