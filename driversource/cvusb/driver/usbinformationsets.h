// The registry description of the adapter's USB device, as the bus INF writes it under the bus
// device's hardware key: the "USB" subkey with the device class triple and the configuration to
// select, and one "USB\EndPoint<n>" subkey per endpoint the driver uses.
//
// The one-byte values are REG_DWORDs without a default: a missing value, or one above 255, fails
// the read rather than being truncated.
#pragma once

#include <wdm.h>

#include "tfregistryinformationset.h"
#include "tfregistryvalueconstraint.h"

// Value names.
#define CVUSB_VALUE_DEVICE_CLASS u"DeviceClass"
#define CVUSB_VALUE_DEVICE_SUBCLASS u"DeviceSubClass"
#define CVUSB_VALUE_DEVICE_PROTOCOL u"DeviceProtocol"
#define CVUSB_VALUE_SELECTED_CONFIGURATION u"SelectedConfiguration"
#define CVUSB_VALUE_ENDPOINT_HANDLE u"EndPointHandle"
#define CVUSB_VALUE_INTERFACE_NUMBER u"InterfaceNumber"
#define CVUSB_VALUE_ALTERNATE_SETTING u"AlternateSetting"
#define CVUSB_VALUE_ENDPOINT_ADDRESS u"EndPointAddress"
#define CVUSB_VALUE_ENDPOINT_TYPE u"EndPointType"
#define CVUSB_VALUE_CALLBACK_NEEDED u"CallbackNeeded"
#define CVUSB_VALUE_MAXIMUM_TRANSFER_SIZE u"MaximumTransferSize"
// Subkey names: "USB", and below it "EndPoint" followed by n in decimal from 1.
#define CVUSB_KEY_USB u"USB"
#define CVUSB_KEY_ENDPOINT_PREFIX u"EndPoint"
// Default of MaximumTransferSize.
#define CVUSB_DEFAULT_MAXIMUM_TRANSFER_SIZE 4096

// A set of one-byte values that a read checks against 0 .. 255.
class CUsbByteValueSet : public CTfRegistryInformationSet {
public:
    CUsbByteValueSet() : m_ByteRange(0, 255) {}
    virtual ~CUsbByteValueSet() {}

protected:
    BOOLEAN m_AddByteEntry(PCWSTR pszName, PULONG pulTarget);

    CTfRegistryValueConstraint m_ByteRange;
};

// "USB": DeviceClass, DeviceSubClass, DeviceProtocol, SelectedConfiguration.
class CUsbDeviceInformationSet : public CUsbByteValueSet {
public:
    CUsbDeviceInformationSet();
    virtual ~CUsbDeviceInformationSet() {}

    // Registers the values; FALSE when the set cannot be used.
    BOOLEAN m_Init();

    UCHAR m_GetDeviceClass() const { return (UCHAR)m_ulDeviceClass; }
    UCHAR m_GetDeviceSubClass() const { return (UCHAR)m_ulDeviceSubClass; }
    UCHAR m_GetDeviceProtocol() const { return (UCHAR)m_ulDeviceProtocol; }
    UCHAR m_GetSelectedConfiguration() const { return (UCHAR)m_ulSelectedConfiguration; }

private:
    ULONG m_ulDeviceClass;
    ULONG m_ulDeviceSubClass;
    ULONG m_ulDeviceProtocol;
    ULONG m_ulSelectedConfiguration;
};

// "USB\EndPoint<n>": EndPointHandle, InterfaceNumber, AlternateSetting, EndPointAddress,
// EndPointType, CallbackNeeded, and MaximumTransferSize (default 4096).
class CUsbEndPointInformationSet : public CUsbByteValueSet {
public:
    CUsbEndPointInformationSet();
    virtual ~CUsbEndPointInformationSet() {}

    BOOLEAN m_Init();

    UCHAR m_GetEndPointHandle() const { return (UCHAR)m_ulEndPointHandle; }
    UCHAR m_GetInterfaceNumber() const { return (UCHAR)m_ulInterfaceNumber; }
    UCHAR m_GetAlternateSetting() const { return (UCHAR)m_ulAlternateSetting; }
    UCHAR m_GetEndPointAddress() const { return (UCHAR)m_ulEndPointAddress; }
    UCHAR m_GetEndPointType() const { return (UCHAR)m_ulEndPointType; }
    UCHAR m_GetCallbackNeeded() const { return (UCHAR)m_ulCallbackNeeded; }
    ULONG m_GetMaximumTransferSize() const { return m_ulMaximumTransferSize; }

private:
    ULONG m_ulEndPointHandle;
    ULONG m_ulInterfaceNumber;
    ULONG m_ulAlternateSetting;
    ULONG m_ulEndPointAddress;
    ULONG m_ulEndPointType;
    ULONG m_ulCallbackNeeded;
    ULONG m_ulMaximumTransferSize;
};
