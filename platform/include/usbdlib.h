// Helpers a USB client driver links with (usbd): building URBs and walking descriptors.
//
// The routines live in a library each driver image carries, so a configuration request they
// allocate counts as the image's pool block (the driver frees it with ExFreePool).
#pragma once

#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // in: which interface; null ends the list
    PUSBD_INTERFACE_INFORMATION Interface;          // out: its record inside the URB
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Size of an interface record with that many pipes.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                   \
    ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
              sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    ((USHORT)(sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                     \
    ((USHORT)(sizeof(struct _URB_SELECT_CONFIGURATION) +                                      \
              ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                  \
              ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,    \
                                               transferBufferLength, transferFlags, link)                     \
    do {                                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                  \
        (urb)->UrbHeader.Length = (length);                                                                   \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                    \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                   \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                            \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
    do {                                                                                   \
        (urb)->UrbHeader.Function = (op);                                                  \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);           \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);         \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);               \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                 \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)          \
    do {                                                                       \
        (urb)->UrbHeader.Function = (op);                                      \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);   \
        (urb)->UrbControlFeatureRequest.Index = (index);                       \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                      \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)       \
    do {                                                                               \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                 \
        (urb)->UrbHeader.Length = (length);                                            \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    do {                                                                                                    \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                          \
        (urb)->UrbHeader.Length = (length);                                                                 \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                          \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                            \
        (urb)->UrbSelectInterface.Interface.Length =                                                        \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));            \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                              \
    } while (0)

#define UsbBuildVendorRequest(urb, function, length, transferFlags, reservedBits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)             \
    do {                                                                                                 \
        (urb)->UrbHeader.Function = (function);                                                          \
        (urb)->UrbHeader.Length = (length);                                                              \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);               \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                     \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                           \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                    \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                         \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                             \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                             \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                             \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                            \
    } while (0)

// The first interface descriptor at or after startPosition inside the configuration descriptor that
// matches every criterion not -1; null when none does.
NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition, LONG interfaceNumber,
    LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol);
// Older form: the interface with that number and alternate setting.
NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, UCHAR interfaceNumber, UCHAR alternateSetting);
// The first descriptor of that type at or after startPosition within totalLength bytes of
// descriptorBuffer (-1: of any type); null when none does.
NTKERNELAPI PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                         PVOID startPosition, LONG descriptorType);
// A select-configuration URB (pool, freed by the caller with ExFreePool) with one interface record
// per list entry, each entry's Interface pointing at its record; null on failure.
NTKERNELAPI PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                   PUSBD_INTERFACE_LIST_ENTRY interfaceList);
