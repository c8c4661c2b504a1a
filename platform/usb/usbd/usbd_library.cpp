// The usbd helpers a USB client driver links with: walking a configuration descriptor and building
// the select-configuration URB. Compiled into every driver image under the kernel's rules, so the
// URB it allocates is the image's own pool block.
#include <wdm.h>
#include <usbdlib.h>

namespace {

// "USBD" in memory order.
constexpr ULONG kUsbdTag = 'U' | ('S' << 8) | ('B' << 16) | ('D' << 24);

PUCHAR End(PUSB_CONFIGURATION_DESCRIPTOR configuration)
{
    return reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

// Pipes an interface record needs room for: one at least, as the record carries one.
ULONG RecordSize(UCHAR endpoints) { return GET_USBD_INTERFACE_SIZE(endpoints == 0 ? 1 : endpoints); }

}  // namespace

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                        PVOID startPosition, LONG descriptorType)
{
    PUCHAR end = static_cast<PUCHAR>(descriptorBuffer) + totalLength;
    PUCHAR at = static_cast<PUCHAR>(startPosition);
    while (at >= static_cast<PUCHAR>(descriptorBuffer) && at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        PUSB_COMMON_DESCRIPTOR common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        // A zero length would never move on; a descriptor running past the end is not whole.
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) return nullptr;
        if (descriptorType == -1 || common->bDescriptorType == descriptorType) return common;
        at += common->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition, LONG interfaceNumber,
    LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol)
{
    if (!configurationDescriptor) return nullptr;
    PUCHAR at = static_cast<PUCHAR>(startPosition);
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(configurationDescriptor, configurationDescriptor->wTotalLength,
                                                             at, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!found) return nullptr;
        PUSB_INTERFACE_DESCRIPTOR candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (candidate->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(interfaceNumber, candidate->bInterfaceNumber) &&
            Matches(alternateSetting, candidate->bAlternateSetting) &&
            Matches(interfaceClass, candidate->bInterfaceClass) &&
            Matches(interfaceSubClass, candidate->bInterfaceSubClass) &&
            Matches(interfaceProtocol, candidate->bInterfaceProtocol))
            return candidate;
        at = reinterpret_cast<PUCHAR>(found) + found->bLength;
        if (at >= End(configurationDescriptor)) return nullptr;
    }
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, UCHAR interfaceNumber, UCHAR alternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(configurationDescriptor, configurationDescriptor, interfaceNumber,
                                               alternateSetting, -1, -1, -1);
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY interfaceList)
{
    if (!configurationDescriptor || !interfaceList) return nullptr;
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
        size += RecordSize(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0) size += sizeof(USBD_INTERFACE_INFORMATION);
    if (size > 0xFFFF) return nullptr;

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (!urb) return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;

    PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        PUSBD_INTERFACE_INFORMATION record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        record->Length = static_cast<USHORT>(RecordSize(descriptor->bNumEndpoints));
        record->InterfaceNumber = descriptor->bInterfaceNumber;
        record->AlternateSetting = descriptor->bAlternateSetting;
        record->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < record->NumberOfPipes; ++pipe) {
            record->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            record->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = record;
        at += record->Length;
    }
    return urb;
}
