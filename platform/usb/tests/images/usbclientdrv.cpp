// A small WDM function driver for a USB device (or one function of a composite device), for the
// USB host's tests. At start it reads the device and configuration descriptors, selects the
// configuration with the usbd helpers and keeps one bulk IN transfer pending on the first IN
// pipe, sending it again from its completion routine. At surprise removal it sends one vendor
// request; at remove it stops the bulk IN. What it saw goes to its hardware key:
//   Configured, VendorId, InBytes (bytes received), InFinalStatus (the bulk IN's last status),
//   SurpriseUrbStatus and SurpriseStatus (the vendor request's URB and IRP status).
#include <wdm.h>
#include <usbdlib.h>
#include <usbioctl.h>

// "UCdr" in memory order.
#define CLIENT_TAG ((ULONG)'U' | ((ULONG)'C' << 8) | ((ULONG)'d' << 16) | ((ULONG)'r' << 24))
#define CLIENT_IN_LENGTH 64

struct CLIENT {
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLower;
    PDEVICE_OBJECT pPdo;
    USBD_PIPE_HANDLE hIn;
    PIRP pInIrp;
    PURB pInUrb;
    UCHAR aucInBuffer[CLIENT_IN_LENGTH];
    KEVENT inStopped;
    LONG lInBytes;
    LONG lStopping;
    NTSTATUS inStatus;
};

static void WriteDword(CLIENT* pClient, PCWSTR pszName, ULONG ulValue)
{
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pClient->pPdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &hKey))) return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pszName);
    ZwSetValueKey(hKey, &name, 0, REG_DWORD, &ulValue, sizeof(ulValue));
    ZwClose(hKey);
}

static NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID pContext)
{
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the URB to the PDO and waits for it; returns the IRP's status.
static NTSTATUS SubmitSync(CLIENT* pClient, PURB pUrb)
{
    PIRP pIrp = IoAllocateIrp(pClient->pLower->StackSize, FALSE);
    if (!pIrp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = pUrb;
    IoSetCompletionRoutine(pIrp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(pClient->pLower, pIrp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = pIrp->IoStatus.Status;
    IoFreeIrp(pIrp);
    return status;
}

static NTSTATUS GetDescriptor(CLIENT* pClient, UCHAR ucType, PVOID pBuffer, ULONG ulLength)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), ucType, 0, 0, pBuffer, NULL,
                                 ulLength, NULL);
    return SubmitSync(pClient, &urb);
}

static NTSTATUS InCompleted(PDEVICE_OBJECT, PIRP pIrp, PVOID pContext);

static void StartIn(CLIENT* pClient)
{
    IoReuseIrp(pClient->pInIrp, STATUS_SUCCESS);
    UsbBuildInterruptOrBulkTransferRequest(pClient->pInUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pClient->hIn,
                                           pClient->aucInBuffer, NULL, CLIENT_IN_LENGTH,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pClient->pInIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = pClient->pInUrb;
    IoSetCompletionRoutine(pClient->pInIrp, InCompleted, pClient, TRUE, TRUE, TRUE);
    IoCallDriver(pClient->pLower, pClient->pInIrp);
}

// May run at DISPATCH_LEVEL (the host's DPC): sends the transfer again unless it failed or the
// driver is stopping.
static NTSTATUS InCompleted(PDEVICE_OBJECT, PIRP pIrp, PVOID pContext)
{
    CLIENT* pClient = (CLIENT*)pContext;
    pClient->inStatus = pIrp->IoStatus.Status;
    if (NT_SUCCESS(pIrp->IoStatus.Status)) {
        InterlockedExchangeAdd(&pClient->lInBytes, (LONG)pClient->pInUrb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        if (!InterlockedCompareExchange(&pClient->lStopping, 0, 0)) {
            StartIn(pClient);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    KeSetEvent(&pClient->inStopped, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS Configure(CLIENT* pClient)
{
    USB_DEVICE_DESCRIPTOR device;
    NTSTATUS status = GetDescriptor(pClient, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof(device));
    if (!NT_SUCCESS(status)) return status;
    USB_CONFIGURATION_DESCRIPTOR header;
    status = GetDescriptor(pClient, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header));
    if (!NT_SUCCESS(status)) return status;
    PUSB_CONFIGURATION_DESCRIPTOR pConfiguration =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, header.wTotalLength, CLIENT_TAG);
    if (!pConfiguration) return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(pClient, USB_CONFIGURATION_DESCRIPTOR_TYPE, pConfiguration, header.wTotalLength);
    USBD_INTERFACE_LIST_ENTRY list[2];
    RtlZeroMemory(list, sizeof(list));
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(pConfiguration, pConfiguration, -1, -1, -1, -1, -1);
    PURB pSelect = NT_SUCCESS(status) && list[0].InterfaceDescriptor
                       ? USBD_CreateConfigurationRequestEx(pConfiguration, list)
                       : NULL;
    if (!pSelect) {
        ExFreePool(pConfiguration);
        return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) list[0].Interface->Pipes[i].MaximumTransferSize = 4096;
    status = SubmitSync(pClient, pSelect);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
            if (USB_ENDPOINT_DIRECTION_IN(list[0].Interface->Pipes[i].EndpointAddress) && !pClient->hIn)
                pClient->hIn = list[0].Interface->Pipes[i].PipeHandle;
        WriteDword(pClient, u"Configured", 1);
        WriteDword(pClient, u"VendorId", device.idVendor);
    }
    ExFreePool(pSelect);
    ExFreePool(pConfiguration);
    return status;
}

static NTSTATUS Start(CLIENT* pClient)
{
    NTSTATUS status = Configure(pClient);
    if (!NT_SUCCESS(status) || !pClient->hIn) return status;
    pClient->pInIrp = IoAllocateIrp(pClient->pLower->StackSize, FALSE);
    pClient->pInUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), CLIENT_TAG);
    if (!pClient->pInIrp || !pClient->pInUrb) return STATUS_INSUFFICIENT_RESOURCES;
    StartIn(pClient);
    return STATUS_SUCCESS;
}

static void StopIn(CLIENT* pClient)
{
    if (pClient->pInIrp) {
        InterlockedExchange(&pClient->lStopping, 1);
        IoCancelIrp(pClient->pInIrp);
        KeWaitForSingleObject(&pClient->inStopped, Executive, KernelMode, FALSE, NULL);
        WriteDword(pClient, u"InBytes", (ULONG)pClient->lInBytes);
        WriteDword(pClient, u"InFinalStatus", (ULONG)pClient->inStatus);
        IoFreeIrp(pClient->pInIrp);
        pClient->pInIrp = NULL;
    }
    if (pClient->pInUrb) ExFreePool(pClient->pInUrb);
    pClient->pInUrb = NULL;
}

static void VendorRequestAtSurpriseRemoval(CLIENT* pClient)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          1, 0, 1, NULL, NULL, 0, NULL);
    NTSTATUS status = SubmitSync(pClient, &urb);
    WriteDword(pClient, u"SurpriseUrbStatus", (ULONG)urb.UrbHeader.Status);
    WriteDword(pClient, u"SurpriseStatus", (ULONG)status);
}

static NTSTATUS PassDown(CLIENT* pClient, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pClient->pLower, pIrp);
}

static NTSTATUS DispatchPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CLIENT* pClient = (CLIENT*)pDevice->DeviceExtension;
    switch (IoGetCurrentIrpStackLocation(pIrp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(pIrp);
        IoSetCompletionRoutine(pIrp, SignalDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(pClient->pLower, pIrp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        NTSTATUS status = pIrp->IoStatus.Status;
        if (NT_SUCCESS(status)) status = Start(pClient);
        pIrp->IoStatus.Status = status;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        VendorRequestAtSurpriseRemoval(pClient);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pClient, pIrp);
    case IRP_MN_REMOVE_DEVICE: {
        StopIn(pClient);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT pLower = pClient->pLower;
        NTSTATUS status = PassDown(pClient, pIrp);
        IoDetachDevice(pLower);
        IoDeleteDevice(pClient->pSelf);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pClient, pIrp);
    default:
        return PassDown(pClient, pIrp);
    }
}

static NTSTATUS DispatchPower(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CLIENT* pClient = (CLIENT*)pDevice->DeviceExtension;
    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(pClient->pLower, pIrp);
}

static NTSTATUS DispatchOther(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    return PassDown((CLIENT*)pDevice->DeviceExtension, pIrp);
}

static NTSTATUS AddDevice(PDRIVER_OBJECT pDriver, PDEVICE_OBJECT pPdo)
{
    PDEVICE_OBJECT pDevice = NULL;
    NTSTATUS status = IoCreateDevice(pDriver, sizeof(CLIENT), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pDevice);
    if (!NT_SUCCESS(status)) return status;
    CLIENT* pClient = (CLIENT*)pDevice->DeviceExtension;
    pClient->pSelf = pDevice;
    pClient->pPdo = pPdo;
    KeInitializeEvent(&pClient->inStopped, NotificationEvent, FALSE);
    pClient->pLower = IoAttachDeviceToDeviceStack(pDevice, pPdo);
    if (!pClient->pLower) {
        IoDeleteDevice(pDevice);
        return STATUS_NO_SUCH_DEVICE;
    }
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void Unload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) pDriver->MajorFunction[i] = DispatchOther;
    pDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    pDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    pDriver->DriverExtension->AddDevice = AddDevice;
    pDriver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
