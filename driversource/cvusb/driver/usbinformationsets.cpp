// The registry description of the adapter's USB device.
#include "usbinformationsets.h"

#include "tfdebug.h"

BOOLEAN CUsbByteValueSet::m_AddByteEntry(PCWSTR pszName, PULONG pulTarget)
{
    // Required: no default, so the entry takes none.
    return m_AddEntry(TRUE, pszName, pulTarget, TF_ITEM_KIND_DWORD, &m_ByteRange, NULL);
}

CUsbDeviceInformationSet::CUsbDeviceInformationSet()
    : m_ulDeviceClass(0), m_ulDeviceSubClass(0), m_ulDeviceProtocol(0), m_ulSelectedConfiguration(0)
{
}

BOOLEAN CUsbDeviceInformationSet::m_Init()
{
    TfDebugLog(7, "CUsbDeviceInformationSet::m_Init - IN");
    if (!m_IsValid() || !m_AddByteEntry(CVUSB_VALUE_DEVICE_CLASS, &m_ulDeviceClass) ||
        !m_AddByteEntry(CVUSB_VALUE_DEVICE_SUBCLASS, &m_ulDeviceSubClass) ||
        !m_AddByteEntry(CVUSB_VALUE_DEVICE_PROTOCOL, &m_ulDeviceProtocol) ||
        !m_AddByteEntry(CVUSB_VALUE_SELECTED_CONFIGURATION, &m_ulSelectedConfiguration)) {
        TfDebugLog(7, "CUsbDeviceInformationSet::m_Init - OUT - Fail-> entries");
        return FALSE;
    }
    TfDebugLog(7, "CUsbDeviceInformationSet::m_Init - OUT (Success)");
    return TRUE;
}

CUsbEndPointInformationSet::CUsbEndPointInformationSet()
    : m_ulEndPointHandle(0),
      m_ulInterfaceNumber(0),
      m_ulAlternateSetting(0),
      m_ulEndPointAddress(0),
      m_ulEndPointType(0),
      m_ulCallbackNeeded(0),
      m_ulMaximumTransferSize(CVUSB_DEFAULT_MAXIMUM_TRANSFER_SIZE)
{
}

BOOLEAN CUsbEndPointInformationSet::m_Init()
{
    TfDebugLog(7, "CUsbEndPointInformationSet::m_Init - IN");
    if (!m_IsValid() || !m_AddByteEntry(CVUSB_VALUE_ENDPOINT_HANDLE, &m_ulEndPointHandle) ||
        !m_AddByteEntry(CVUSB_VALUE_INTERFACE_NUMBER, &m_ulInterfaceNumber) ||
        !m_AddByteEntry(CVUSB_VALUE_ALTERNATE_SETTING, &m_ulAlternateSetting) ||
        !m_AddByteEntry(CVUSB_VALUE_ENDPOINT_ADDRESS, &m_ulEndPointAddress) ||
        !m_AddByteEntry(CVUSB_VALUE_ENDPOINT_TYPE, &m_ulEndPointType) ||
        !m_AddByteEntry(CVUSB_VALUE_CALLBACK_NEEDED, &m_ulCallbackNeeded) ||
        !m_AddDwordEntry(CVUSB_VALUE_MAXIMUM_TRANSFER_SIZE, &m_ulMaximumTransferSize,
                         CVUSB_DEFAULT_MAXIMUM_TRANSFER_SIZE, NULL)) {
        TfDebugLog(7, "CUsbEndPointInformationSet::m_Init - OUT - Fail-> entries");
        return FALSE;
    }
    TfDebugLog(7, "CUsbEndPointInformationSet::m_Init - OUT (Success)");
    return TRUE;
}
