// The USB driver interface as one header: the URB and its status codes (usb.h) with the internal
// control codes that carry it (usbioctl.h).
#pragma once

#include <usb.h>
#include <usbioctl.h>

// Older names of status values.
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
