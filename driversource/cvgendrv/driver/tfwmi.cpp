// WMI data provider of a functional device.
#include "tfwmi.h"

#include "tfdebug.h"
#include "tfdevice.h"
#include "tffunctionaldevice.h"
#include "tfmemorytracker.h"
#include "tfrequest.h"
#include "tftrace.h"

// Standard placement of consecutive instances in a WMI buffer.
static ULONG TfWmiAlign8(ULONG ulLength)
{
    return (ulLength + 7) & ~7UL;
}

// Control handler of the software tracing: enable and disable requests for its control GUIDs.
static NTSTATUS TfWmiTraceControl(PIRP pIrp)
{
    if (!TfTraceIsSetUp()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->MinorFunction != IRP_MN_ENABLE_EVENTS && pStack->MinorFunction != IRP_MN_DISABLE_EVENTS) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    LPCGUID pGuid = (LPCGUID)pStack->Parameters.WMI.DataPath;
    if (pGuid == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    for (ULONG ulGroup = 0; ulGroup < TF_TRACE_GROUP_COUNT; ulGroup++) {
        if (RtlCompareMemory(pGuid, &g_TfTraceControlGuids[ulGroup], sizeof(GUID)) == sizeof(GUID)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_WMI_GUID_NOT_FOUND;
}

CWmi::CWmi(PDEVICE_OBJECT pFunctionalDeviceObject, PDEVICE_OBJECT pLowerDeviceObject,
           PDEVICE_OBJECT pPhysicalDeviceObject, PCUNICODE_STRING pRegistryPath, const TF_WMI_GUID_RECORD* pRecords,
           ULONG ulGuidCount, const CTfDeviceCallbacks* pCallbacks, CTfObject* pObject, PBOOLEAN pbSuccess)
    : m_pObject(pObject),
      m_pFunctionalDeviceObject(pFunctionalDeviceObject),
      m_pLowerDeviceObject(pLowerDeviceObject),
      m_pPhysicalDeviceObject(pPhysicalDeviceObject),
      m_RegistryPath(NonPagedPool),
      m_bRegistrationAnswered(FALSE),
      m_pRecords(pRecords),
      m_ulGuidCount(ulGuidCount),
      m_pGuidRegInfo(NULL),
      m_bRegistered(FALSE)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CWmi::CWmi");
    *pbSuccess = FALSE;
    RtlZeroMemory(&m_Routines, sizeof(m_Routines));
    RtlZeroMemory(&m_Context, sizeof(m_Context));
    if (pCallbacks != NULL) {
        m_Routines.pInstanceSize = pCallbacks->m_WmiInstanceSize;
        m_Routines.pQueryData = pCallbacks->m_WmiQueryData;
        m_Routines.pSetDataBlock = pCallbacks->m_WmiSetDataBlock;
        m_Routines.pSetDataItem = pCallbacks->m_WmiSetDataItem;
        m_Routines.pMethodSize = pCallbacks->m_WmiMethodSize;
        m_Routines.pExecuteMethod = pCallbacks->m_WmiExecuteMethod;
        m_Routines.pReserved = pCallbacks->m_pReserved27;
    }

    if (pRegistryPath != NULL && !NT_SUCCESS(m_RegistryPath.m_AssignUnicodeString(pRegistryPath))) {
        Log.m_Fail("registry path copy");
        return;
    }
    if (m_ulGuidCount != 0 && m_pRecords == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "tfwmi.cpp", 101);
        Log.m_Fail("no GUID records");
        return;
    }
    if (m_ulGuidCount > MAXUSHORT) {
        Log.m_Fail("too many GUIDs");
        return;
    }

    ULONG ulTotal = m_ulGuidCount + TF_WMI_TRACE_GUID_COUNT;
    m_pGuidRegInfo = (PWMIGUIDREGINFO)AllocateTrackedPool(NonPagedPool, sizeof(WMIGUIDREGINFO) * ulTotal);
    if (m_pGuidRegInfo == NULL) {
        Log.m_Fail("no GUID list");
        return;
    }
    for (ULONG ulIndex = 0; ulIndex < m_ulGuidCount; ulIndex++) {
        m_pGuidRegInfo[ulIndex].Guid = m_pRecords[ulIndex].pGuid;
        m_pGuidRegInfo[ulIndex].InstanceCount = m_pRecords[ulIndex].ulInstanceCount;
        m_pGuidRegInfo[ulIndex].Flags = WMIREG_FLAG_INSTANCE_PDO;
        if (m_pRecords[ulIndex].ucExpensive == 1) {
            m_pGuidRegInfo[ulIndex].Flags |= WMIREG_FLAG_EXPENSIVE;
        }
    }
    for (ULONG ulGroup = 0; ulGroup < TF_WMI_TRACE_GUID_COUNT; ulGroup++) {
        m_pGuidRegInfo[m_ulGuidCount + ulGroup].Guid = &g_TfTraceControlGuids[ulGroup];
        m_pGuidRegInfo[m_ulGuidCount + ulGroup].InstanceCount = 1;
        m_pGuidRegInfo[m_ulGuidCount + ulGroup].Flags = 0;
    }

    m_Context.GuidCount = ulTotal;
    m_Context.GuidList = m_pGuidRegInfo;
    m_Context.QueryWmiRegInfo = &CWmi::sm_QueryWmiRegInfo;
    m_Context.QueryWmiDataBlock = &CWmi::sm_QueryWmiDataBlock;
    m_Context.SetWmiDataBlock = &CWmi::sm_SetWmiDataBlock;
    m_Context.SetWmiDataItem = &CWmi::sm_SetWmiDataItem;
    m_Context.ExecuteWmiMethod = &CWmi::sm_ExecuteWmiMethod;
    m_Context.WmiFunctionControl = NULL;

    NTSTATUS Status = IoWMIRegistrationControl(m_pFunctionalDeviceObject, WMIREG_ACTION_REGISTER);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("IoWMIRegistrationControl 0x%X", (ULONG)Status);
        return;
    }
    m_bRegistered = TRUE;
    *pbSuccess = TRUE;
    Log.m_Success();
}

CWmi::~CWmi()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CWmi::~CWmi");
    m_Deregister();
    if (m_pGuidRegInfo != NULL) {
        FreeTrackedPool(m_pGuidRegInfo);
        m_pGuidRegInfo = NULL;
    }
    Log.m_Success();
}

void CWmi::m_Deregister()
{
    CTfRoutineLog Log("CWmi::m_Deregister");
    if (m_bRegistered) {
        IoWMIRegistrationControl(m_pFunctionalDeviceObject, WMIREG_ACTION_DEREGISTER);
        m_bRegistered = FALSE;
    }
    Log.m_Success();
}

// ----- system control ----------------------------------------------------------------------------

NTSTATUS CWmi::sm_DispatchSystemControl(CWmi* pWmi, PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pLowerDeviceObject,
                                        PIRP pIrp)
{
    CTfRoutineLog Log("CWmi::sm_DispatchSystemControl");
    if (pWmi == NULL) {
        Log.m_Fail("no WMI provider");
        return TfCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->Parameters.WMI.ProviderId == (ULONG_PTR)pDeviceObject) {
        if (pStack->MinorFunction == IRP_MN_REGINFO && !pWmi->m_bRegistrationAnswered &&
            pStack->Parameters.WMI.Buffer != NULL) {
            RtlZeroMemory(pStack->Parameters.WMI.Buffer, pStack->Parameters.WMI.BufferSize);
        }
        if (pStack->MinorFunction == IRP_MN_REGINFO_EX && !IoIsWdmVersionAvailable(1, 0x20)) {
            Log.m_Fail("IRP_MN_REGINFO_EX before WDM 1.20");
            return TfCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }

    SYSCTL_IRP_DISPOSITION Disposition = IrpNotWmi;
    NTSTATUS Status = WmiSystemControl(&pWmi->m_Context, pDeviceObject, pIrp, &Disposition);
    switch (Disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted: {
        NTSTATUS TraceStatus = TfWmiTraceControl(pIrp);
        if (!NT_SUCCESS(Status) && NT_SUCCESS(TraceStatus)) {
            Status = TraceStatus;
        }
        Status = TfCompleteRequestWithInformation(pIrp, Status, pIrp->IoStatus.Information);
        break;
    }
    default:
        Status = TfCallDriverAsIs(pIrp, pLowerDeviceObject);
        break;
    }
    if (NT_SUCCESS(Status)) {
        Log.m_Success();
    } else {
        Log.m_Fail("status 0x%X", (ULONG)Status);
    }
    return Status;
}

// ----- the library callbacks ---------------------------------------------------------------------

NTSTATUS TfWmiAcquireDevice(PDEVICE_OBJECT pDeviceObject, CWmi** ppWmi)
{
    *ppWmi = NULL;
    CTfObjectHolder* pHolder = pDeviceObject != NULL ? CTfDevice::sm_GetExtensionHolder(pDeviceObject) : NULL;
    CTfObject* pObject = pHolder != NULL ? pHolder->m_Acquire() : NULL;
    if (pObject == NULL) {
        return STATUS_DELETE_PENDING;
    }
    CTfDevice* pDevice = static_cast<CTfDevice*>(pObject);
    CWmi* pWmi = NULL;
    if (pDevice->m_GetDeviceKind() == TF_DEVICE_KIND_FUNCTIONAL) {
        pWmi = static_cast<CTfFunctionalDevice*>(pDevice)->m_GetWmi();
    }
    if (pWmi == NULL) {
        pHolder->m_Release();
        return STATUS_UNSUCCESSFUL;
    }
    *ppWmi = pWmi;
    return STATUS_SUCCESS;
}

void TfWmiReleaseDevice(PDEVICE_OBJECT pDeviceObject)
{
    CTfDevice::sm_GetExtensionHolder(pDeviceObject)->m_Release();
}

NTSTATUS CWmi::sm_QueryWmiRegInfo(PDEVICE_OBJECT pDeviceObject, PULONG pulRegFlags, PUNICODE_STRING pInstanceName,
                                  PUNICODE_STRING* ppRegistryPath, PUNICODE_STRING pMofResourceName,
                                  PDEVICE_OBJECT* ppPdo)
{
    CTfRoutineLog Log("CWmi::sm_QueryWmiRegInfo");
    CWmi* pWmi;
    NTSTATUS Status = TfWmiAcquireDevice(pDeviceObject, &pWmi);
    if (NT_SUCCESS(Status)) {
        Status = pWmi->m_QueryRegInfo(pulRegFlags, pInstanceName, ppRegistryPath, pMofResourceName, ppPdo);
        TfWmiReleaseDevice(pDeviceObject);
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CWmi::sm_QueryWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                    ULONG ulInstanceCount, PULONG pulInstanceLengthArray, ULONG ulBufferAvail,
                                    PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::sm_QueryWmiDataBlock");
    CWmi* pWmi;
    ULONG ulUsed = 0;
    NTSTATUS Status = TfWmiAcquireDevice(pDeviceObject, &pWmi);
    if (!NT_SUCCESS(Status)) {
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
    } else {
        Status = pWmi->m_QueryDataBlock(ulGuidIndex, ulInstanceIndex, ulInstanceCount, pulInstanceLengthArray,
                                        ulBufferAvail, pBuffer, &ulUsed);
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, ulUsed, IO_NO_INCREMENT);
        TfWmiReleaseDevice(pDeviceObject);
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CWmi::sm_SetWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                  ULONG ulBufferSize, PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::sm_SetWmiDataBlock");
    CWmi* pWmi;
    NTSTATUS Status = TfWmiAcquireDevice(pDeviceObject, &pWmi);
    if (!NT_SUCCESS(Status)) {
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
    } else {
        Status = pWmi->m_SetDataBlock(ulGuidIndex, ulInstanceIndex, ulBufferSize, pBuffer);
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
        TfWmiReleaseDevice(pDeviceObject);
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CWmi::sm_SetWmiDataItem(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                 ULONG ulDataItemId, ULONG ulBufferSize, PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::sm_SetWmiDataItem");
    CWmi* pWmi;
    NTSTATUS Status = TfWmiAcquireDevice(pDeviceObject, &pWmi);
    if (!NT_SUCCESS(Status)) {
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
    } else {
        Status = pWmi->m_SetDataItem(ulGuidIndex, ulInstanceIndex, ulDataItemId, ulBufferSize, pBuffer);
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
        TfWmiReleaseDevice(pDeviceObject);
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CWmi::sm_ExecuteWmiMethod(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                   ULONG ulMethodId, ULONG ulInBufferSize, ULONG ulOutBufferSize, PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::sm_ExecuteWmiMethod");
    CWmi* pWmi;
    ULONG ulUsed = 0;
    NTSTATUS Status = TfWmiAcquireDevice(pDeviceObject, &pWmi);
    if (!NT_SUCCESS(Status)) {
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, 0, IO_NO_INCREMENT);
    } else {
        Status = pWmi->m_ExecuteMethod(ulGuidIndex, ulInstanceIndex, ulMethodId, ulInBufferSize, ulOutBufferSize,
                                       pBuffer, &ulUsed);
        Status = WmiCompleteRequest(pDeviceObject, pIrp, Status, ulUsed, IO_NO_INCREMENT);
        TfWmiReleaseDevice(pDeviceObject);
    }
    Log.m_Success();
    return Status;
}

// ----- the work of the callbacks -----------------------------------------------------------------

NTSTATUS CWmi::m_QueryRegInfo(PULONG pulRegFlags, PUNICODE_STRING pInstanceName, PUNICODE_STRING* ppRegistryPath,
                              PUNICODE_STRING pMofResourceName, PDEVICE_OBJECT* ppPdo)
{
    CTfRoutineLog Log("CWmi::m_QueryRegInfo");
    *pulRegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *ppRegistryPath = m_RegistryPath.m_GetUnicodeString();
    *ppPdo = m_pPhysicalDeviceObject;
    m_bRegistrationAnswered = TRUE;
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::m_CheckGuidAndInstance(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount)
{
    // The tracing control GUIDs after the driver's blocks carry no data.
    if (ulGuidIndex >= m_ulGuidCount) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    ULONG ulRegistered = m_pRecords[ulGuidIndex].ulInstanceCount;
    if (ulInstanceCount == 0 || (ulInstanceIndex != 0 && ulInstanceCount != 1) || ulInstanceIndex >= ulRegistered ||
        ulInstanceCount > ulRegistered - ulInstanceIndex) {
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::m_QueryDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount,
                                PULONG pulInstanceLengthArray, ULONG ulBufferAvail, PUCHAR pBuffer,
                                PULONG pulBufferUsed)
{
    CTfRoutineLog Log("CWmi::m_QueryDataBlock");
    *pulBufferUsed = 0;
    NTSTATUS Status = m_CheckGuidAndInstance(ulGuidIndex, ulInstanceIndex, ulInstanceCount);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("GUID or instance 0x%X", (ULONG)Status);
        return Status;
    }
    if (pulInstanceLengthArray == NULL) {
        Log.m_Fail("no length array");
        return STATUS_UNSUCCESSFUL;
    }
    const TF_WMI_GUID_RECORD* pRecord = &m_pRecords[ulGuidIndex];

    // Each instance but the last is raised past the next multiple of 8 for the reported total.
    ULONGLONG ullTotal = 0;
    for (ULONG ulIndex = 0; ulIndex < ulInstanceCount; ulIndex++) {
        ULONG ulLength = pRecord->ulFixedSize;
        if (ulLength == 0) {
            if (m_Routines.pInstanceSize == NULL) {
                DbgPrint("ASSERT at - %s %d\n", "tfwmi.cpp", 643);
                Log.m_Fail("no instance size routine");
                return STATUS_UNSUCCESSFUL;
            }
            if (!m_Routines.pInstanceSize(m_pObject, ulGuidIndex, ulInstanceIndex + ulIndex, &ulLength)) {
                Log.m_Fail("instance size refused");
                return STATUS_UNSUCCESSFUL;
            }
        }
        pulInstanceLengthArray[ulIndex] = ulLength;
        if (ulIndex + 1 < ulInstanceCount) {
            ullTotal += ((ULONGLONG)ulLength / 8 + 1) * 8;
        } else {
            ullTotal += ulLength;
        }
    }
    if (ullTotal > MAXULONG) {
        Log.m_Fail("block too large");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulTotal = (ULONG)ullTotal;
    if (ulBufferAvail < ulTotal || pBuffer == NULL) {
        *pulBufferUsed = ulTotal;
        Log.m_Fail("buffer too small, %u needed", ulTotal);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (m_Routines.pQueryData == NULL) {
        Log.m_Fail("no query routine");
        return STATUS_UNSUCCESSFUL;
    }
    // Instances sit at their standard 8-byte aligned offsets, which the reported total covers.
    ULONG ulOffset = 0;
    for (ULONG ulIndex = 0; ulIndex < ulInstanceCount; ulIndex++) {
        if (!m_Routines.pQueryData(m_pObject, ulGuidIndex, ulInstanceIndex + ulIndex, pBuffer + ulOffset)) {
            Log.m_Fail("query refused");
            return STATUS_UNSUCCESSFUL;
        }
        ulOffset += TfWmiAlign8(pulInstanceLengthArray[ulIndex]);
    }
    *pulBufferUsed = ulTotal;
    Log.m_Success();
    return STATUS_SUCCESS;
}

// A set request reaches the driver only for a block it can change: a set routine, a registered GUID
// and instance, and a block that is not read-only.
NTSTATUS CWmi::m_CheckSettable(ULONG ulGuidIndex, ULONG ulInstanceIndex, BOOLEAN bRoutinePresent,
                               const TF_WMI_GUID_RECORD** ppRecord)
{
    if (!bRoutinePresent) {
        return STATUS_WMI_READ_ONLY;
    }
    NTSTATUS Status = m_CheckGuidAndInstance(ulGuidIndex, ulInstanceIndex, 1);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    *ppRecord = &m_pRecords[ulGuidIndex];
    return (*ppRecord)->ucReadOnly == 1 ? STATUS_WMI_READ_ONLY : STATUS_SUCCESS;
}

NTSTATUS CWmi::m_SetDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulBufferSize, PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::m_SetDataBlock");
    const TF_WMI_GUID_RECORD* pRecord = NULL;
    NTSTATUS Status = m_CheckSettable(ulGuidIndex, ulInstanceIndex, m_Routines.pSetDataBlock != NULL, &pRecord);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("not settable 0x%X", (ULONG)Status);
        return Status;
    }
    if (pRecord->ulFixedSize > ulBufferSize) {
        Log.m_Fail("buffer too small");
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!m_Routines.pSetDataBlock(m_pObject, ulGuidIndex, ulInstanceIndex, pRecord->ulFixedSize ? 0 : ulBufferSize,
                                  pBuffer)) {
        Log.m_Fail("set refused");
        return STATUS_WMI_SET_FAILURE;
    }
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::m_SetDataItem(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulDataItemId, ULONG ulBufferSize,
                             PUCHAR pBuffer)
{
    CTfRoutineLog Log("CWmi::m_SetDataItem");
    const TF_WMI_GUID_RECORD* pRecord = NULL;
    NTSTATUS Status = m_CheckSettable(ulGuidIndex, ulInstanceIndex, m_Routines.pSetDataItem != NULL, &pRecord);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("not settable 0x%X", (ULONG)Status);
        return Status;
    }
    if (ulDataItemId >= pRecord->ulItemCount) {
        Log.m_Fail("item %u unknown", ulDataItemId);
        return STATUS_WMI_ITEMID_NOT_FOUND;
    }
    if (pRecord->ulFixedSize > ulBufferSize) {
        Log.m_Fail("buffer too small");
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!m_Routines.pSetDataItem(m_pObject, ulGuidIndex, ulInstanceIndex, ulDataItemId,
                                 pRecord->ulFixedSize ? 0 : ulBufferSize, pBuffer)) {
        Log.m_Fail("set refused");
        return STATUS_WMI_SET_FAILURE;
    }
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::m_ExecuteMethod(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulMethodId, ULONG ulInBufferSize,
                               ULONG ulOutBufferSize, PUCHAR pBuffer, PULONG pulBufferUsed)
{
    CTfRoutineLog Log("CWmi::m_ExecuteMethod");
    *pulBufferUsed = 0;
    if (m_Routines.pExecuteMethod == NULL) {
        Log.m_Fail("no method routine");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Status = m_CheckGuidAndInstance(ulGuidIndex, ulInstanceIndex, 1);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("GUID or instance 0x%X", (ULONG)Status);
        return Status;
    }
    const TF_WMI_GUID_RECORD* pRecord = &m_pRecords[ulGuidIndex];
    if (ulMethodId >= pRecord->ulMethodCount) {
        Log.m_Fail("method %u unknown", ulMethodId);
        return STATUS_WMI_ITEMID_NOT_FOUND;
    }
    ULONG ulNeededIn = pRecord->ulFixedSize;
    ULONG ulNeededOut = pRecord->ulFixedSize;
    if (pRecord->ulFixedSize == 0) {
        if (m_Routines.pMethodSize == NULL) {
            DbgPrint("ASSERT at - %s %d\n", "tfwmi.cpp", 773);
            Log.m_Fail("no method size routine");
            return STATUS_UNSUCCESSFUL;
        }
        if (!m_Routines.pMethodSize(m_pObject, ulGuidIndex, ulInstanceIndex, ulMethodId, &ulNeededIn, &ulNeededOut)) {
            Log.m_Fail("method size refused");
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (ulInBufferSize >= ulNeededIn && ulOutBufferSize >= ulNeededOut) {
        ULONG ulInSize = ulInBufferSize;
        ULONG ulOutSize = ulOutBufferSize;
        if (!m_Routines.pExecuteMethod(m_pObject, ulGuidIndex, ulInstanceIndex, ulMethodId, &ulInSize, &ulOutSize,
                                       pBuffer)) {
            Log.m_Fail("method refused");
            return STATUS_UNSUCCESSFUL;
        }
        if (ulInSize <= ulInBufferSize && ulOutSize <= ulOutBufferSize) {
            *pulBufferUsed = ulOutSize;
            Log.m_Success();
            return STATUS_SUCCESS;
        }
        ulNeededIn = ulInSize;
        ulNeededOut = ulOutSize;
    }
    *pulBufferUsed = ulNeededIn > ulNeededOut ? ulNeededIn : ulNeededOut;
    Log.m_Fail("buffer too small, %u needed", *pulBufferUsed);
    return STATUS_BUFFER_TOO_SMALL;
}
