// WMI library: decodes IRP_MJ_SYSTEM_CONTROL requests into a driver's data-block callbacks.
#pragma once

#include <wdm.h>

#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_REMOVE_GUID 0x00010000
#define WMIREG_FLAG_RESERVED1 0x00020000
#define WMIREG_FLAG_RESERVED2 0x00040000
#define WMIREG_FLAG_TRACED_GUID 0x00080000
#define WMIREG_FLAG_TRACE_CONTROL_GUID 0x00001000
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef enum { WmiEventControl = 0, WmiDataBlockControl = 1 } WMIENABLEDISABLECONTROL;

typedef NTSTATUS WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT deviceObject, PULONG regFlags,
                                            PUNICODE_STRING instanceName, PUNICODE_STRING* registryPath,
                                            PUNICODE_STRING mofResourceName, PDEVICE_OBJECT* pdo);
typedef NTSTATUS WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                              ULONG instanceIndex, ULONG instanceCount,
                                              PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer);
typedef NTSTATUS WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                            ULONG instanceIndex, ULONG bufferSize, PUCHAR buffer);
typedef NTSTATUS WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                           ULONG instanceIndex, ULONG dataItemId, ULONG bufferSize,
                                           PUCHAR buffer);
typedef NTSTATUS WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                             ULONG instanceIndex, ULONG methodId, ULONG inBufferSize,
                                             ULONG outBufferSize, PUCHAR buffer);
typedef NTSTATUS WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                               WMIENABLEDISABLECONTROL function, BOOLEAN enable);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

NTKERNELAPI NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                                      PSYSCTL_IRP_DISPOSITION irpDisposition);
NTKERNELAPI NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status,
                                        ULONG bufferUsed, CCHAR priorityBoost);
NTKERNELAPI NTSTATUS WmiFireEvent(PDEVICE_OBJECT deviceObject, LPCGUID guid, ULONG instanceIndex,
                                  ULONG eventDataSize, PVOID eventData);
