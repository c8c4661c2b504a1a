// A small WDM driver for the PnP manager's tests. As a function driver it passes requests down
// (opens and closes too, which its child PDOs accept);
// as a bus driver it reports "ChildCount" child PDOs (read from its hardware key at every
// BusRelations query), each with a resource requirements list that the function driver replaces
// with a list of its own when it filters them. Its service key and hardware key script it:
//   service:  EntryStatus (DriverEntry's result), LeakOnUnload (keep a "PtLk" block at unload),
//             ArmAtUnload (1: leave the image's timer armed at unload, 2: leave its DPC queued);
//             it writes EntryCount, the DriverEntry calls this copy of the image has seen.
//   hardware: ChildCount, DuplicateChildren, RefuseQueryRemove, RefuseQueryStop, FailStart.
//   driver key: AddDevice writes AddDeviceSeen = 1.
#include <wdm.h>

#define PNPTEST_MAX_CHILDREN 8
// Pool tags "PtLk" and "Ptst", in memory order.
#define PNPTEST_TAG_LEAK ((ULONG)'P' | ((ULONG)'t' << 8) | ((ULONG)'L' << 16) | ((ULONG)'k' << 24))
#define PNPTEST_TAG ((ULONG)'P' | ((ULONG)'t' << 8) | ((ULONG)'s' << 16) | ((ULONG)'t' << 24))

enum { KIND_FDO = 1, KIND_PDO = 2 };

struct FDO_EXTENSION {
    ULONG ulKind;
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLower;
    PDEVICE_OBJECT pPdo;
    PDEVICE_OBJECT apChildren[PNPTEST_MAX_CHILDREN];
};

struct PDO_EXTENSION {
    ULONG ulKind;
    PDEVICE_OBJECT pSelf;
    FDO_EXTENSION* pParent;
    ULONG ulIndex;
    BOOLEAN bPresent;
    BOOLEAN bDuplicate;
};

static ULONG g_ulEntryCount;
static PVOID g_pLeakBlock;
static BOOLEAN g_bLeakOnUnload;
static ULONG g_ulArmAtUnload;
static KTIMER g_Timer;
static KDPC g_Dpc;

static void TimerDpc(PKDPC, PVOID, PVOID, PVOID) {}

static ULONG ReadDword(HANDLE hKey, PCWSTR pszName, ULONG ulDefault)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pszName);
    UCHAR aucBuffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG ulLength = 0;
    NTSTATUS status = ZwQueryValueKey(hKey, &name, KeyValuePartialInformation, aucBuffer, sizeof(aucBuffer), &ulLength);
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = (PKEY_VALUE_PARTIAL_INFORMATION)aucBuffer;
    if (!NT_SUCCESS(status) || pInfo->Type != REG_DWORD || pInfo->DataLength != sizeof(ULONG)) return ulDefault;
    ULONG ulValue;
    RtlCopyMemory(&ulValue, pInfo->Data, sizeof(ULONG));
    return ulValue;
}

static void WriteDword(HANDLE hKey, PCWSTR pszName, ULONG ulValue)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pszName);
    ZwSetValueKey(hKey, &name, 0, REG_DWORD, &ulValue, sizeof(ulValue));
}

static ULONG ReadDeviceSetting(PDEVICE_OBJECT pPdo, PCWSTR pszName)
{
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &hKey))) return 0;
    ULONG ulValue = ReadDword(hKey, pszName, 0);
    ZwClose(hKey);
    return ulValue;
}

static NTSTATUS CompleteIrp(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID pContext)
{
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDown(FDO_EXTENSION* pFdo, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pFdo->pLower, pIrp);
}

static NTSTATUS ForwardAndWait(FDO_EXTENSION* pFdo, PIRP pIrp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, SignalDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(pFdo->pLower, pIrp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return pIrp->IoStatus.Status;
}

// A stand-in for a requirements list: the PnP manager only frees it.
static ULONG_PTR NewRequirements()
{
    return (ULONG_PTR)ExAllocatePoolWithTag(PagedPool, 64, PNPTEST_TAG);
}

// Filtered on the way up: a function driver that answers with a new list frees the old one.
static NTSTATUS FilterRequirements(FDO_EXTENSION* pFdo, PIRP pIrp)
{
    NTSTATUS status = ForwardAndWait(pFdo, pIrp);
    ULONG_PTR ulOld = pIrp->IoStatus.Information;
    if (!ulOld) return CompleteIrp(pIrp, status, 0);
    ULONG_PTR ulNew = NewRequirements();
    if (!ulNew) return CompleteIrp(pIrp, STATUS_INSUFFICIENT_RESOURCES, ulOld);
    ExFreePoolWithTag((PVOID)ulOld, PNPTEST_TAG);
    return CompleteIrp(pIrp, STATUS_SUCCESS, ulNew);
}

static PWCHAR PoolString(const WCHAR* pText, ULONG ulChars)
{
    PWCHAR pCopy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, ulChars * sizeof(WCHAR), PNPTEST_TAG);
    if (pCopy) RtlCopyMemory(pCopy, pText, ulChars * sizeof(WCHAR));
    return pCopy;
}

// Children below ChildCount are present; the others are reported missing and go at their REMOVE.
static NTSTATUS QueryBusRelations(FDO_EXTENSION* pFdo, PIRP pIrp)
{
    ULONG ulCount = ReadDeviceSetting(pFdo->pPdo, u"ChildCount");
    if (ulCount > PNPTEST_MAX_CHILDREN) ulCount = PNPTEST_MAX_CHILDREN;
    BOOLEAN bDuplicate = ReadDeviceSetting(pFdo->pPdo, u"DuplicateChildren") != 0;
    for (ULONG i = 0; i < PNPTEST_MAX_CHILDREN; ++i) {
        if (i < ulCount && !pFdo->apChildren[i]) {
            PDEVICE_OBJECT pChild = NULL;
            if (!NT_SUCCESS(IoCreateDevice(pFdo->pSelf->DriverObject, sizeof(PDO_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pChild)))
                break;
            PDO_EXTENSION* pPdo = (PDO_EXTENSION*)pChild->DeviceExtension;
            pPdo->ulKind = KIND_PDO;
            pPdo->pSelf = pChild;
            pPdo->pParent = pFdo;
            pPdo->ulIndex = i;
            pChild->Flags &= ~DO_DEVICE_INITIALIZING;
            pFdo->apChildren[i] = pChild;
        }
        if (pFdo->apChildren[i]) {
            PDO_EXTENSION* pPdo = (PDO_EXTENSION*)pFdo->apChildren[i]->DeviceExtension;
            pPdo->bPresent = i < ulCount;
            pPdo->bDuplicate = bDuplicate;
        }
    }
    PDEVICE_RELATIONS pRelations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + PNPTEST_MAX_CHILDREN * sizeof(PDEVICE_OBJECT), PNPTEST_TAG);
    if (!pRelations) return CompleteIrp(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
    pRelations->Count = 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        if (!pFdo->apChildren[i]) continue;
        ObReferenceObject(pFdo->apChildren[i]);
        pRelations->Objects[pRelations->Count++] = pFdo->apChildren[i];
    }
    pIrp->IoStatus.Information = (ULONG_PTR)pRelations;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(pFdo, pIrp);
}

static NTSTATUS FdoPnp(FDO_EXTENSION* pFdo, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status;
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (ReadDeviceSetting(pFdo->pPdo, u"FailStart")) return CompleteIrp(pIrp, STATUS_UNSUCCESSFUL, 0);
        status = ForwardAndWait(pFdo, pIrp);
        return CompleteIrp(pIrp, status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (pStack->Parameters.QueryDeviceRelations.Type == BusRelations) return QueryBusRelations(pFdo, pIrp);
        return PassDown(pFdo, pIrp);
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        return FilterRequirements(pFdo, pIrp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ReadDeviceSetting(pFdo->pPdo, u"RefuseQueryRemove")) return CompleteIrp(pIrp, STATUS_UNSUCCESSFUL, 0);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pFdo, pIrp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (ReadDeviceSetting(pFdo->pPdo, u"RefuseQueryStop")) return CompleteIrp(pIrp, STATUS_UNSUCCESSFUL, 0);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pFdo, pIrp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pFdo, pIrp);
    case IRP_MN_REMOVE_DEVICE: {
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT pSelf = pFdo->pSelf;
        PDEVICE_OBJECT pLower = pFdo->pLower;
        IoSkipCurrentIrpStackLocation(pIrp);
        status = IoCallDriver(pLower, pIrp);
        for (ULONG i = 0; i < PNPTEST_MAX_CHILDREN; ++i)
            if (pFdo->apChildren[i]) IoDeleteDevice(pFdo->apChildren[i]);
        IoDetachDevice(pLower);
        IoDeleteDevice(pSelf);
        return status;
    }
    default:
        return PassDown(pFdo, pIrp);
    }
}

static NTSTATUS PdoPnp(PDO_EXTENSION* pPdo, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = pIrp->IoStatus.Status;
    ULONG_PTR ulInformation = pIrp->IoStatus.Information;
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        // A child its bus still reports stays, so it can start again.
        if (!pPdo->bPresent) {
            pPdo->pParent->apChildren[pPdo->ulIndex] = NULL;
            IoDeleteDevice(pPdo->pSelf);
        }
        return CompleteIrp(pIrp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID: {
        WCHAR szText[64];
        ULONG ulChars = 0;
        switch (pStack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: {
            static const WCHAR szId[] = u"PNPTEST\\CHILD";
            RtlCopyMemory(szText, szId, sizeof(szId));
            ulChars = sizeof(szId) / sizeof(WCHAR);
            break;
        }
        case BusQueryHardwareIDs: {
            static const WCHAR szIds[] = u"PNPTEST\\CHILD\0PNPTEST\\GENERIC\0";
            RtlCopyMemory(szText, szIds, sizeof(szIds));
            ulChars = sizeof(szIds) / sizeof(WCHAR);
            break;
        }
        case BusQueryCompatibleIDs: {
            static const WCHAR szIds[] = u"PNPTEST\\COMPAT\0";
            RtlCopyMemory(szText, szIds, sizeof(szIds));
            ulChars = sizeof(szIds) / sizeof(WCHAR);
            break;
        }
        case BusQueryInstanceID:
            szText[0] = (WCHAR)(u'0' + (pPdo->bDuplicate ? 0 : pPdo->ulIndex));
            szText[1] = 0;
            ulChars = 2;
            break;
        default:
            break;
        }
        if (ulChars) {
            PWCHAR pCopy = PoolString(szText, ulChars);
            status = pCopy ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            ulInformation = (ULONG_PTR)pCopy;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        WCHAR szText[32];
        if (pStack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            static const WCHAR szDescription[] = u"PnP test child";
            RtlCopyMemory(szText, szDescription, sizeof(szDescription));
        } else {
            static const WCHAR szLocation[] = u"Port 0";
            RtlCopyMemory(szText, szLocation, sizeof(szLocation));
            szText[5] = (WCHAR)(u'0' + pPdo->ulIndex);
        }
        ULONG ulChars = 0;
        while (szText[ulChars]) ++ulChars;
        PWCHAR pCopy = PoolString(szText, ulChars + 1);
        status = pCopy ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        ulInformation = (ULONG_PTR)pCopy;
        break;
    }
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        ulInformation = NewRequirements();
        status = ulInformation ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES pCaps = pStack->Parameters.DeviceCapabilities.Capabilities;
        if (pCaps->Version != 1 || pCaps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        pCaps->Removable = TRUE;
        pCaps->SurpriseRemovalOK = TRUE;
        pCaps->Address = pPdo->ulIndex;
        pCaps->UINumber = pPdo->ulIndex;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        PPNP_BUS_INFORMATION pInfo =
            (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), PNPTEST_TAG);
        if (!pInfo) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(pInfo, sizeof(*pInfo));
        pInfo->BusTypeGuid.Data1 = 0x50544553;
        pInfo->LegacyBusType = PNPBus;
        pInfo->BusNumber = 7;
        status = STATUS_SUCCESS;
        ulInformation = (ULONG_PTR)pInfo;
        break;
    }
    default:
        break;
    }
    return CompleteIrp(pIrp, status, ulInformation);
}

static NTSTATUS DispatchPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    ULONG ulKind = *(ULONG*)pDevice->DeviceExtension;
    if (ulKind == KIND_FDO) return FdoPnp((FDO_EXTENSION*)pDevice->DeviceExtension, pIrp);
    return PdoPnp((PDO_EXTENSION*)pDevice->DeviceExtension, pIrp);
}

// Opens and closes: a function driver passes them down, a child PDO accepts them.
static NTSTATUS DispatchFile(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    ULONG ulKind = *(ULONG*)pDevice->DeviceExtension;
    if (ulKind == KIND_FDO) return PassDown((FDO_EXTENSION*)pDevice->DeviceExtension, pIrp);
    return CompleteIrp(pIrp, STATUS_SUCCESS, 0);
}

static NTSTATUS AddDevice(PDRIVER_OBJECT pDriver, PDEVICE_OBJECT pPdo)
{
    PDEVICE_OBJECT pFdoDevice = NULL;
    NTSTATUS status = IoCreateDevice(pDriver, sizeof(FDO_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &pFdoDevice);
    if (!NT_SUCCESS(status)) return status;
    FDO_EXTENSION* pFdo = (FDO_EXTENSION*)pFdoDevice->DeviceExtension;
    pFdo->ulKind = KIND_FDO;
    pFdo->pSelf = pFdoDevice;
    pFdo->pPdo = pPdo;
    pFdo->pLower = IoAttachDeviceToDeviceStack(pFdoDevice, pPdo);
    if (!pFdo->pLower) {
        IoDeleteDevice(pFdoDevice);
        return STATUS_NO_SUCH_DEVICE;
    }
    HANDLE hKey = NULL;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pPdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &hKey))) {
        WriteDword(hKey, u"AddDeviceSeen", 1);
        ZwClose(hKey);
    }
    pFdoDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void DriverUnload(PDRIVER_OBJECT)
{
    if (!g_bLeakOnUnload && g_pLeakBlock) ExFreePoolWithTag(g_pLeakBlock, PNPTEST_TAG_LEAK);
    g_pLeakBlock = NULL;
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL * 3600;
    if (g_ulArmAtUnload == 1) KeSetTimer(&g_Timer, due, &g_Dpc);
    if (g_ulArmAtUnload == 2) KeInsertQueueDpc(&g_Dpc, NULL, NULL);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriver, PUNICODE_STRING pRegistryPath)
{
    ++g_ulEntryCount;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, pRegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hKey = NULL;
    NTSTATUS status = ZwOpenKey(&hKey, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) return status;
    WriteDword(hKey, u"EntryCount", g_ulEntryCount);
    status = (NTSTATUS)ReadDword(hKey, u"EntryStatus", STATUS_SUCCESS);
    g_bLeakOnUnload = ReadDword(hKey, u"LeakOnUnload", 0) != 0;
    g_ulArmAtUnload = ReadDword(hKey, u"ArmAtUnload", 0);
    KeInitializeTimer(&g_Timer);
    KeInitializeDpc(&g_Dpc, TimerDpc, NULL);
    ZwClose(hKey);
    if (!NT_SUCCESS(status)) return status;

    g_pLeakBlock = ExAllocatePoolWithTag(NonPagedPool, 24, PNPTEST_TAG_LEAK);
    if (!g_pLeakBlock) return STATUS_INSUFFICIENT_RESOURCES;
    pDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    pDriver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    pDriver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    pDriver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    pDriver->DriverExtension->AddDevice = AddDevice;
    pDriver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
