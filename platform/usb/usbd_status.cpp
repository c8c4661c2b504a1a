#include "usbd_status.h"

namespace emu::usb {

// A transfer the device or the bus failed (stall, transaction error, short packet) completes
// STATUS_UNSUCCESSFUL; what went wrong stays in the URB's status.
NTSTATUS NtStatusOf(USBD_STATUS status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_PENDING: return STATUS_PENDING;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INAVLID_PIPE_FLAGS: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY: return STATUS_DEVICE_BUSY;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

}  // namespace emu::usb
