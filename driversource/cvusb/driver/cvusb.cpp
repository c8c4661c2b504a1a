// The bus driver's view of the adapter's USB device (see cvusb.h).
#include "cvusb.h"

#include <usbdlib.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"
#include "tfstring.h"
#include "usbinformationsets.h"

CUsbDevice::CUsbDevice()
    : m_pPhysicalDeviceObject(NULL),
      m_ucDeviceClass(0),
      m_ucDeviceSubClass(0),
      m_ucDeviceProtocol(0),
      m_ucSelectedConfiguration(0),
      m_ulEndpointCount(0),
      m_pConfigurationDescriptor(NULL),
      m_hConfiguration(NULL),
      m_ulInterfaceCount(0)
{
    RtlZeroMemory(&m_DeviceDescriptor, sizeof(m_DeviceDescriptor));
    RtlZeroMemory(m_aEndpoints, sizeof(m_aEndpoints));
    RtlZeroMemory(m_aInterfaces, sizeof(m_aInterfaces));
}

CUsbDevice::~CUsbDevice()
{
    // The transport (a member) stops its bulk IN transfer in its own destructor.
    FreeTrackedPool(m_pConfigurationDescriptor);
    m_pConfigurationDescriptor = NULL;
}

// ---- Initialisation ---------------------------------------------------------------------------------

BOOLEAN CUsbDevice::m_Init(PDEVICE_OBJECT pPhysicalDeviceObject)
{
    TfDebugLog(7, "CUsbDevice::m_Init - IN");
    if (pPhysicalDeviceObject == NULL) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> no physical device object");
        return FALSE;
    }
    m_pPhysicalDeviceObject = pPhysicalDeviceObject;
    m_Transport.m_SetDevice(pPhysicalDeviceObject);
    if (!m_Transport.m_Init()) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> transport");
        return FALSE;
    }
    ULONG ulRead = 0;
    if (!m_ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, &m_DeviceDescriptor, sizeof(m_DeviceDescriptor), &ulRead) ||
        ulRead != sizeof(m_DeviceDescriptor)) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> device descriptor");
        return FALSE;
    }
    if (!m_ReadRegistryConfiguration()) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> registry");
        return FALSE;
    }
    m_LogDescriptor();
    m_LogRegistry();
    if (m_ucDeviceClass != m_DeviceDescriptor.bDeviceClass || m_ucDeviceSubClass != m_DeviceDescriptor.bDeviceSubClass ||
        m_ucDeviceProtocol != m_DeviceDescriptor.bDeviceProtocol) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> device class %02X/%02X/%02X, registry %02X/%02X/%02X",
                   m_DeviceDescriptor.bDeviceClass, m_DeviceDescriptor.bDeviceSubClass,
                   m_DeviceDescriptor.bDeviceProtocol, m_ucDeviceClass, m_ucDeviceSubClass, m_ucDeviceProtocol);
        return FALSE;
    }
    if (!m_SelectConfiguration()) {
        TfDebugLog(7, "CUsbDevice::m_Init - OUT - Fail-> configuration");
        return FALSE;
    }
    TfDebugLog(7, "CUsbDevice::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbDevice::m_ReadDescriptor(UCHAR ucType, UCHAR ucIndex, PVOID pBuffer, ULONG ulLength, PULONG pulRead)
{
    URB Urb;
    RtlZeroMemory(&Urb, sizeof(Urb));
    UsbBuildGetDescriptorRequest(&Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), ucType, ucIndex, 0,
                                 pBuffer, NULL, ulLength, NULL);
    if (!m_Transport.m_SubmitUrb(&Urb, FALSE, TRUE)) {
        TfDebugLog(7, "CUsbDevice::m_ReadDescriptor - type %u index %u failed (URB status 0x%08X)", ucType, ucIndex,
                   (ULONG)Urb.UrbHeader.Status);
        return FALSE;
    }
    *pulRead = Urb.UrbControlDescriptorRequest.TransferBufferLength;
    return TRUE;
}

// ---- Registry ---------------------------------------------------------------------------------------

BOOLEAN CUsbDevice::m_ReadRegistryConfiguration()
{
    TfDebugLog(7, "CUsbDevice::m_ReadRegistryConfiguration - IN");
    HANDLE hDeviceKey = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &hDeviceKey))) {
        TfDebugLog(7, "CUsbDevice::m_ReadRegistryConfiguration - OUT - Fail-> hardware key");
        return FALSE;
    }
    HANDLE hUsbKey = NULL;
    CTfString UsbName(NonPagedPool, CVUSB_KEY_USB);
    BOOLEAN bOpened = CTfRegistry::m_OpenSubKey(hDeviceKey, UsbName, &hUsbKey, KEY_READ, FALSE);
    CTfRegistry::m_CloseKey(hDeviceKey);
    if (!bOpened) {
        TfDebugLog(7, "CUsbDevice::m_ReadRegistryConfiguration - OUT - Fail-> no USB key");
        return FALSE;
    }
    BOOLEAN bResult = FALSE;
    {
        CUsbDeviceInformationSet Device;
        if (Device.m_Init() && Device.m_ReadFromKey(hUsbKey, FALSE)) {
            m_ucDeviceClass = Device.m_GetDeviceClass();
            m_ucDeviceSubClass = Device.m_GetDeviceSubClass();
            m_ucDeviceProtocol = Device.m_GetDeviceProtocol();
            m_ucSelectedConfiguration = Device.m_GetSelectedConfiguration();
            bResult = m_ReadEndPoints(hUsbKey);
        }
    }
    CTfRegistry::m_CloseKey(hUsbKey);
    TfDebugLog(7, bResult ? "CUsbDevice::m_ReadRegistryConfiguration - OUT (Success)"
                          : "CUsbDevice::m_ReadRegistryConfiguration - OUT - Fail-> USB values");
    return bResult;
}

BOOLEAN CUsbDevice::m_ReadEndPoints(HANDLE hUsbKey)
{
    m_ulEndpointCount = 0;
    // "EndPoint1" upward, until one is missing or unreadable.
    for (ULONG ulNumber = 1; ulNumber <= CVUSB_MAX_ENDPOINTS; ++ulNumber) {
        if (!m_ReadEndPoint(hUsbKey, ulNumber)) {
            break;
        }
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_ReadEndPoint(HANDLE hUsbKey, ULONG ulNumber)
{
    CTfString Name(NonPagedPool, CVUSB_KEY_ENDPOINT_PREFIX);
    if (Name.m_AppendNumber(ulNumber, 10) != STATUS_SUCCESS) {
        return FALSE;
    }
    HANDLE hKey = NULL;
    if (!CTfRegistry::m_OpenSubKey(hUsbKey, Name, &hKey, KEY_READ, FALSE)) {
        return FALSE;
    }
    CUsbEndPointInformationSet EndPoint;
    BOOLEAN bRead = EndPoint.m_Init() && EndPoint.m_ReadFromKey(hKey, FALSE);
    CTfRegistry::m_CloseKey(hKey);
    if (!bRead) {
        TfDebugLog(7, "CUsbDevice::m_ReadEndPoint - EndPoint%u not read", ulNumber);
        return FALSE;
    }
    CVUSB_ENDPOINT& Entry = m_aEndpoints[m_ulEndpointCount++];
    Entry.ucHandle = EndPoint.m_GetEndPointHandle();
    Entry.ucInterfaceNumber = EndPoint.m_GetInterfaceNumber();
    Entry.ucAlternateSetting = EndPoint.m_GetAlternateSetting();
    Entry.ucAddress = EndPoint.m_GetEndPointAddress();
    Entry.ucType = EndPoint.m_GetEndPointType();
    Entry.ucCallbackNeeded = EndPoint.m_GetCallbackNeeded();
    Entry.ulMaximumTransferSize = EndPoint.m_GetMaximumTransferSize();
    return TRUE;
}

void CUsbDevice::m_LogDescriptor()
{
    const USB_DEVICE_DESCRIPTOR& D = m_DeviceDescriptor;
    TfDebugLog(7, "USB Device Descriptor:");
    TfDebugLog(7, "   bLength %u bDescriptorType %u bcdUSB 0x%04X", D.bLength, D.bDescriptorType, D.bcdUSB);
    TfDebugLog(7, "   bDeviceClass 0x%02X bDeviceSubClass 0x%02X bDeviceProtocol 0x%02X bMaxPacketSize0 %u",
               D.bDeviceClass, D.bDeviceSubClass, D.bDeviceProtocol, D.bMaxPacketSize0);
    TfDebugLog(7, "   idVendor 0x%04X idProduct 0x%04X bcdDevice 0x%04X", D.idVendor, D.idProduct, D.bcdDevice);
    TfDebugLog(7, "   iManufacturer %u iProduct %u iSerialNumber %u bNumConfigurations %u", D.iManufacturer,
               D.iProduct, D.iSerialNumber, D.bNumConfigurations);
}

void CUsbDevice::m_LogRegistry()
{
    TfDebugLog(7, "USB Device Registry Information:");
    TfDebugLog(7, "   DeviceClass 0x%02X DeviceSubClass 0x%02X DeviceProtocol 0x%02X SelectedConfiguration %u",
               m_ucDeviceClass, m_ucDeviceSubClass, m_ucDeviceProtocol, m_ucSelectedConfiguration);
    TfDebugLog(7, "   End Points (%d):", m_ulEndpointCount);
    for (ULONG i = 0; i < m_ulEndpointCount; ++i) {
        const CVUSB_ENDPOINT& E = m_aEndpoints[i];
        TfDebugLog(7, "      Handle %u Interface %u Alternate %u Address 0x%02X Type %u Callback %u MaxTransfer %u",
                   E.ucHandle, E.ucInterfaceNumber, E.ucAlternateSetting, E.ucAddress, E.ucType, E.ucCallbackNeeded,
                   E.ulMaximumTransferSize);
    }
}

// ---- Configuration ------------------------------------------------------------------------------------

BOOLEAN CUsbDevice::m_SelectConfiguration()
{
    TfDebugLog(7, "CUsbDevice::m_SelectConfiguration - IN");
    if (!m_ReadConfigurationDescriptor()) {
        TfDebugLog(7, "CUsbDevice::m_SelectConfiguration - OUT - Fail-> configuration descriptor");
        return FALSE;
    }
    PUSBD_INTERFACE_LIST_ENTRY pList = m_BuildInterfaceList();
    if (pList == NULL) {
        TfDebugLog(7, "CUsbDevice::m_SelectConfiguration - OUT - Fail-> interfaces");
        return FALSE;
    }
    BOOLEAN bSelected = m_SubmitSelection(pList);
    FreeTrackedPool(pList);
    if (!bSelected || !m_MapEndpointHandles()) {
        TfDebugLog(7, "CUsbDevice::m_SelectConfiguration - OUT - Fail-> selection");
        return FALSE;
    }
    TfDebugLog(7, "CUsbDevice::m_SelectConfiguration - OUT (Success)");
    return TRUE;
}

BOOLEAN CUsbDevice::m_ReadConfigurationDescriptor()
{
    USB_CONFIGURATION_DESCRIPTOR Header;
    RtlZeroMemory(&Header, sizeof(Header));
    ULONG ulRead = 0;
    if (!m_ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, m_ucSelectedConfiguration, &Header, sizeof(Header),
                          &ulRead) ||
        ulRead != sizeof(Header) || Header.wTotalLength < sizeof(Header)) {
        return FALSE;
    }
    ULONG ulTotal = Header.wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR pDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateTrackedPool(NonPagedPool, ulTotal);
    if (pDescriptor == NULL) {
        return FALSE;
    }
    if (!m_ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, m_ucSelectedConfiguration, pDescriptor, ulTotal,
                          &ulRead) ||
        ulRead != ulTotal) {
        FreeTrackedPool(pDescriptor);
        return FALSE;
    }
    FreeTrackedPool(m_pConfigurationDescriptor);
    m_pConfigurationDescriptor = pDescriptor;
    return TRUE;
}

PUSBD_INTERFACE_LIST_ENTRY CUsbDevice::m_BuildInterfaceList()
{
    UCHAR aucNumbers[CVUSB_MAX_ENDPOINTS];
    ULONG ulCount = 0;
    for (ULONG i = 0; i < m_ulEndpointCount; ++i) {
        BOOLEAN bSeen = FALSE;
        for (ULONG j = 0; j < ulCount; ++j) {
            bSeen = bSeen || aucNumbers[j] == m_aEndpoints[i].ucInterfaceNumber;
        }
        if (!bSeen) {
            aucNumbers[ulCount++] = m_aEndpoints[i].ucInterfaceNumber;
        }
    }
    if (ulCount == 0 || ulCount > CVUSB_MAX_INTERFACES) {
        TfDebugLog(7, "CUsbDevice::m_BuildInterfaceList - %u interfaces", ulCount);
        return NULL;
    }
    PUSBD_INTERFACE_LIST_ENTRY pList = (PUSBD_INTERFACE_LIST_ENTRY)AllocateTrackedPool(
        NonPagedPool, (ulCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    if (pList == NULL) {
        return NULL;
    }
    RtlZeroMemory(pList, (ulCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    for (ULONG i = 0; i < ulCount; ++i) {
        // Any alternate setting, class, subclass and protocol.
        pList[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            m_pConfigurationDescriptor, m_pConfigurationDescriptor, aucNumbers[i], -1, -1, -1, -1);
        if (pList[i].InterfaceDescriptor == NULL) {
            TfDebugLog(7, "CUsbDevice::m_BuildInterfaceList - interface %u not in the configuration", aucNumbers[i]);
            FreeTrackedPool(pList);
            return NULL;
        }
    }
    return pList;
}

BOOLEAN CUsbDevice::m_SubmitSelection(PUSBD_INTERFACE_LIST_ENTRY pList)
{
    PURB pUrb = USBD_CreateConfigurationRequestEx(m_pConfigurationDescriptor, pList);
    if (pUrb == NULL) {
        TfDebugLog(7, "CUsbDevice::m_SubmitSelection - no request");
        return FALSE;
    }
    for (PUSBD_INTERFACE_LIST_ENTRY pEntry = pList; pEntry->InterfaceDescriptor != NULL; ++pEntry) {
        for (ULONG i = 0; i < pEntry->Interface->NumberOfPipes; ++i) {
            pEntry->Interface->Pipes[i].MaximumTransferSize = CVUSB_PIPE_MAXIMUM_TRANSFER_SIZE;
        }
    }
    BOOLEAN bResult = m_Transport.m_SubmitUrb(pUrb, FALSE, TRUE);
    if (bResult) {
        m_hConfiguration = pUrb->UrbSelectConfiguration.ConfigurationHandle;
        m_ulInterfaceCount = 0;
        for (PUSBD_INTERFACE_LIST_ENTRY pEntry = pList; pEntry->InterfaceDescriptor != NULL; ++pEntry) {
            m_KeepInterface(pEntry->Interface);
        }
    } else {
        TfDebugLog(7, "CUsbDevice::m_SubmitSelection - refused (URB status 0x%08X)", (ULONG)pUrb->UrbHeader.Status);
    }
    ExFreePool(pUrb);
    return bResult;
}

void CUsbDevice::m_KeepInterface(PUSBD_INTERFACE_INFORMATION pInterface)
{
    CVUSB_INTERFACE& Record = m_aInterfaces[m_ulInterfaceCount++];
    RtlZeroMemory(&Record, sizeof(Record));
    Record.ucInterfaceNumber = pInterface->InterfaceNumber;
    Record.ucAlternateSetting = pInterface->AlternateSetting;
    Record.ucClass = pInterface->Class;
    Record.ucSubClass = pInterface->SubClass;
    Record.ucProtocol = pInterface->Protocol;
    Record.hInterface = pInterface->InterfaceHandle;
    Record.ulPipeCount = pInterface->NumberOfPipes < CVUSB_MAX_PIPES ? pInterface->NumberOfPipes : CVUSB_MAX_PIPES;
    for (ULONG i = 0; i < Record.ulPipeCount; ++i) {
        const USBD_PIPE_INFORMATION& Pipe = pInterface->Pipes[i];
        Record.aPipes[i].usMaximumPacketSize = Pipe.MaximumPacketSize;
        Record.aPipes[i].ucEndpointAddress = Pipe.EndpointAddress;
        Record.aPipes[i].ucInterval = Pipe.Interval;
        Record.aPipes[i].PipeType = Pipe.PipeType;
        Record.aPipes[i].hPipe = Pipe.PipeHandle;
        Record.aPipes[i].ucEndpointHandle = CVUSB_NO_ENDPOINT_HANDLE;
    }
}

BOOLEAN CUsbDevice::m_MapEndpointHandles()
{
    for (ULONG e = 0; e < m_ulEndpointCount; ++e) {
        const CVUSB_ENDPOINT& Endpoint = m_aEndpoints[e];
        PCVUSB_PIPE pFound = NULL;
        for (ULONG i = 0; i < m_ulInterfaceCount && pFound == NULL; ++i) {
            CVUSB_INTERFACE& Interface = m_aInterfaces[i];
            if (Interface.ucInterfaceNumber != Endpoint.ucInterfaceNumber ||
                Interface.ucAlternateSetting != Endpoint.ucAlternateSetting) {
                continue;
            }
            for (ULONG p = 0; p < Interface.ulPipeCount && pFound == NULL; ++p) {
                if (Interface.aPipes[p].ucEndpointAddress == Endpoint.ucAddress) {
                    pFound = &Interface.aPipes[p];
                }
            }
        }
        if (pFound == NULL) {
            TfDebugLog(7, "CUsbDevice::m_MapEndpointHandles - endpoint 0x%02X of interface %u/%u not selected",
                       Endpoint.ucAddress, Endpoint.ucInterfaceNumber, Endpoint.ucAlternateSetting);
            return FALSE;
        }
        pFound->ucEndpointHandle = Endpoint.ucHandle;
    }
    return TRUE;
}

BOOLEAN CUsbDevice::m_GetPipeHandle(UCHAR ucEndpointHandle, USBD_PIPE_HANDLE* phPipe)
{
    if (m_ulInterfaceCount == 0) {
        TfDebugLog(7, "==>ulCount is ZERO\n");
        return FALSE;
    }
    for (ULONG i = 0; i < m_ulInterfaceCount; ++i) {
        const CVUSB_INTERFACE& Interface = m_aInterfaces[i];
        for (ULONG p = 0; p < Interface.ulPipeCount; ++p) {
            if (Interface.aPipes[p].ucEndpointHandle == ucEndpointHandle &&
                ucEndpointHandle != CVUSB_NO_ENDPOINT_HANDLE) {
                *phPipe = Interface.aPipes[p].hPipe;
                return TRUE;
            }
        }
    }
    TfDebugLog(7, "==>Return FALSE");
    return FALSE;
}

// ---- Requests -----------------------------------------------------------------------------------------

BOOLEAN CUsbDevice::m_VendorInterfaceRequest(const char* pszName, UCHAR ucRequest, USHORT usValue,
                                             USHORT usInterfaceIndex, BOOLEAN bIn, CTfBuffer* pBuffer)
{
    TfDebugLog(7, "CUsbDevice::%s - ucRequest=0x%02x unValue=0x%04x unInterfaceIndex=0x%04x", pszName, ucRequest,
               usValue, usInterfaceIndex);
    if (!bIn && pBuffer != NULL && !pBuffer->m_IsEmpty()) {
        CTfDebugManager::m_LogHexDump(g_pTfDebugManager, 7, pBuffer->m_GetData(), pBuffer->m_GetLength());
    }
    BOOLEAN bStatus = m_Transport.m_VendorRequest(URB_FUNCTION_VENDOR_INTERFACE, ucRequest, usValue, usInterfaceIndex,
                                                  bIn, pBuffer);
    if (bIn && bStatus && pBuffer != NULL && !pBuffer->m_IsEmpty()) {
        CTfDebugManager::m_LogHexDump(g_pTfDebugManager, 7, pBuffer->m_GetData(), pBuffer->m_GetLength());
    }
    TfDebugLog(7, "CUsbDevice::%s OUT - bStatus=%s", pszName, bStatus ? "true" : "false");
    return bStatus;
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestIN(UCHAR ucRequest, USHORT usValue, USHORT usInterfaceIndex,
                                               CTfBuffer* pBuffer)
{
    if (pBuffer == NULL || pBuffer->m_IsEmpty()) {
        TfDebugLog(7, "CUsbDevice::m_VendorInterfaceRequestIN - OUT - Fail-> no buffer");
        return FALSE;
    }
    return m_VendorInterfaceRequest("m_VendorInterfaceRequestIN", ucRequest, usValue, usInterfaceIndex, TRUE, pBuffer);
}

BOOLEAN CUsbDevice::m_VendorInterfaceRequestOUT(UCHAR ucRequest, USHORT usValue, USHORT usInterfaceIndex,
                                                CTfBuffer* pBuffer)
{
    return m_VendorInterfaceRequest("m_VendorInterfaceRequestOUT", ucRequest, usValue, usInterfaceIndex, FALSE,
                                    pBuffer);
}

BOOLEAN CUsbDevice::m_Write(CTfBuffer* pBuffer, UCHAR ucEndpointHandle, PULONG pulWritten)
{
    TfDebugLog(7, "CUsbDevice::m_Write - IN");
    *pulWritten = 0;
    USBD_PIPE_HANDLE hPipe = NULL;
    if (!m_GetPipeHandle(ucEndpointHandle, &hPipe)) {
        TfDebugLog(7, "CUsbDevice::m_Write - OUT - Fail-> endpoint handle %u", ucEndpointHandle);
        return FALSE;
    }
    BOOLEAN bResult = m_Transport.m_SendData(pBuffer, hPipe, FALSE, pulWritten);
    TfDebugLog(7, bResult ? "CUsbDevice::m_Write - OUT (Success)" : "CUsbDevice::m_Write - OUT - Fail-> transfer");
    return bResult;
}

// ---- Bulk IN ------------------------------------------------------------------------------------------

BOOLEAN CUsbDevice::m_CreateReadTransfer(PCVUSB_BULK_IN_CALLBACK pCallback, PVOID pContext)
{
    return m_Transport.m_RegisterInterruptUrbCallback(pCallback, pContext) && m_Transport.m_CreateInterruptUrb();
}

BOOLEAN CUsbDevice::m_StartRead(UCHAR ucEndpointHandle, ULONG ulSize)
{
    USBD_PIPE_HANDLE hPipe = NULL;
    if (!m_GetPipeHandle(ucEndpointHandle, &hPipe)) {
        TfDebugLog(7, "CUsbDevice::m_StartRead - OUT - Fail-> endpoint handle %u", ucEndpointHandle);
        return FALSE;
    }
    return m_Transport.m_StartInterruptUrb(hPipe, ulSize);
}

BOOLEAN CUsbDevice::m_StopRead()
{
    return m_Transport.m_StopInterruptUrb();
}

BOOLEAN CUsbDevice::m_EnableRead()
{
    return m_Transport.m_EnableInterruptUrb();
}

BOOLEAN CUsbDevice::m_DisableRead()
{
    return m_Transport.m_DisableInterruptUrb();
}
