// WMI data provider of a functional device: registers the driver's data blocks (plus the control
// GUIDs of the driver's software tracing) through the system's WMI library and turns the library's
// callbacks into calls of the driver's WMI routines (entries 21 to 26 of the device callbacks).
#pragma once

#include <wdm.h>
#include <wmilib.h>

#include "tfdevicecallbacks.h"
#include "tfobject.h"
#include "tfstring.h"

// Control GUIDs of the software tracing, registered after the driver's blocks.
#define TF_WMI_TRACE_GUID_COUNT 8

// The driver's routines, entries 21 to 27 of the device callbacks (copied at construction).
typedef struct _TF_WMI_ROUTINES {
    PTF_WMI_INSTANCE_SIZE pInstanceSize;     // 21
    PTF_WMI_QUERY_DATA pQueryData;           // 22
    PTF_WMI_SET_DATA_BLOCK pSetDataBlock;    // 23
    PTF_WMI_SET_DATA_ITEM pSetDataItem;      // 24
    PTF_WMI_METHOD_SIZE pMethodSize;         // 25
    PTF_WMI_EXECUTE_METHOD pExecuteMethod;   // 26
    PVOID pReserved;                         // 27, kept, never called
} TF_WMI_ROUTINES, *PTF_WMI_ROUTINES;

class CWmi : public CTfObject {
public:
    // Registers the device as a WMI provider (IoWMIRegistrationControl). pRecords may be null only
    // with ulGuidCount 0; the routines are entries 21 to 27 of pCallbacks (null: none). The
    // records stay the driver's. *pbSuccess reports the result; a failed object is deleted by its
    // owner. PASSIVE_LEVEL.
    CWmi(PDEVICE_OBJECT pFunctionalDeviceObject, PDEVICE_OBJECT pLowerDeviceObject,
         PDEVICE_OBJECT pPhysicalDeviceObject, PCUNICODE_STRING pRegistryPath,
         const TF_WMI_GUID_RECORD* pRecords, ULONG ulGuidCount, const CTfDeviceCallbacks* pCallbacks,
         CTfObject* pObject, PBOOLEAN pbSuccess);
    // Deregisters (when registered) and frees the copies. PASSIVE_LEVEL.
    virtual ~CWmi();

    // Ends the registration early (removal drains WMI before the object goes); idempotent.
    void m_Deregister();

    // The functional device's system-control dispatch. pWmi null: STATUS_INVALID_DEVICE_REQUEST.
    // Owns the IRP (completes it or passes it to pLowerDeviceObject).
    static NTSTATUS sm_DispatchSystemControl(CWmi* pWmi, PDEVICE_OBJECT pDeviceObject,
                                             PDEVICE_OBJECT pLowerDeviceObject, PIRP pIrp);

    // The work of the library callbacks, on this object; each returns the status and the bytes
    // used, and completes nothing (the static callbacks complete with WmiCompleteRequest).
    NTSTATUS m_QueryRegInfo(PULONG pulRegFlags, PUNICODE_STRING pInstanceName, PUNICODE_STRING* ppRegistryPath,
                            PUNICODE_STRING pMofResourceName, PDEVICE_OBJECT* ppPdo);
    NTSTATUS m_QueryDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount,
                              PULONG pulInstanceLengthArray, ULONG ulBufferAvail, PUCHAR pBuffer,
                              PULONG pulBufferUsed);
    NTSTATUS m_SetDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulBufferSize, PUCHAR pBuffer);
    NTSTATUS m_SetDataItem(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulDataItemId, ULONG ulBufferSize,
                           PUCHAR pBuffer);
    NTSTATUS m_ExecuteMethod(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulMethodId, ULONG ulInBufferSize,
                             ULONG ulOutBufferSize, PUCHAR pBuffer, PULONG pulBufferUsed);

    PWMILIB_CONTEXT m_GetContext() { return &m_Context; }
    BOOLEAN m_IsRegistrationAnswered() const { return m_bRegistrationAnswered; }
    BOOLEAN m_IsRegistered() const { return m_bRegistered; }

    // The library callbacks (WMILIB_CONTEXT). Public for the platform's function-pointer tables.
    static NTSTATUS sm_QueryWmiRegInfo(PDEVICE_OBJECT pDeviceObject, PULONG pulRegFlags,
                                       PUNICODE_STRING pInstanceName, PUNICODE_STRING* ppRegistryPath,
                                       PUNICODE_STRING pMofResourceName, PDEVICE_OBJECT* ppPdo);
    static NTSTATUS sm_QueryWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex,
                                         ULONG ulInstanceIndex, ULONG ulInstanceCount,
                                         PULONG pulInstanceLengthArray, ULONG ulBufferAvail, PUCHAR pBuffer);
    static NTSTATUS sm_SetWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex,
                                       ULONG ulInstanceIndex, ULONG ulBufferSize, PUCHAR pBuffer);
    static NTSTATUS sm_SetWmiDataItem(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex,
                                      ULONG ulInstanceIndex, ULONG ulDataItemId, ULONG ulBufferSize,
                                      PUCHAR pBuffer);
    static NTSTATUS sm_ExecuteWmiMethod(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex,
                                        ULONG ulInstanceIndex, ULONG ulMethodId, ULONG ulInBufferSize,
                                        ULONG ulOutBufferSize, PUCHAR pBuffer);

private:
    CWmi(const CWmi&) = delete;
    CWmi& operator=(const CWmi&) = delete;

    // GUID and instance checks shared by every data request.
    NTSTATUS m_CheckGuidAndInstance(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount);
    NTSTATUS m_CheckSettable(ULONG ulGuidIndex, ULONG ulInstanceIndex, BOOLEAN bRoutinePresent,
                             const TF_WMI_GUID_RECORD** ppRecord);

    CTfObject* m_pObject;
    TF_WMI_ROUTINES m_Routines;
    PDEVICE_OBJECT m_pFunctionalDeviceObject;
    PDEVICE_OBJECT m_pLowerDeviceObject;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    CTfString m_RegistryPath;
    WMILIB_CONTEXT m_Context;
    BOOLEAN m_bRegistrationAnswered;
    const TF_WMI_GUID_RECORD* m_pRecords;
    ULONG m_ulGuidCount;  // the driver's blocks only
    PWMIGUIDREGINFO m_pGuidRegInfo;
    BOOLEAN m_bRegistered;
};

// The functional device's CWmi, for the library callbacks: acquires the framework object of a
// device object through its extension holder. STATUS_DELETE_PENDING when the object is gone,
// STATUS_UNSUCCESSFUL when it has no CWmi; on success *ppWmi is set and the caller releases the
// holder with TfWmiReleaseDevice.
NTSTATUS TfWmiAcquireDevice(PDEVICE_OBJECT pDeviceObject, CWmi** ppWmi);
void TfWmiReleaseDevice(PDEVICE_OBJECT pDeviceObject);
