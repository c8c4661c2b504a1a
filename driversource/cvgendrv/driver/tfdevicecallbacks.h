// The table through which the framework's functional device calls the driver's own code. The
// driver's create callback and its entry 0 fill it; every entry but 17 may stay null.
//
// Every routine of entries 2 to 18 receives the driver-specific object first (the object the
// driver's create callback made); the framework takes it from its holder around each call.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfobject.h"
#include "tfstring.h"

class CTfDriver;
class CTfFunctionalDevice;
class CTfInformationSet;
class CTfControlQueue;
class CTfPassiveLevelExecutor;

// Phases of entry 7 (rebalancing).
#define TF_REBALANCE_QUERY_STOP 0
#define TF_REBALANCE_STOP 1
#define TF_REBALANCE_CANCEL_STOP 2
#define TF_REBALANCE_RESTART 3

// One data block of the driver's WMI provider (the array named by entry 20).
typedef struct _TF_WMI_GUID_RECORD {
    const GUID* pGuid;
    ULONG ulInstanceCount;
    UCHAR ucExpensive;      // 1: registered with WMIREG_FLAG_EXPENSIVE
    ULONG ulFixedSize;      // size of one instance or of a method's buffers; 0: ask the size routine
    UCHAR ucReadOnly;       // 1: set requests are refused
    ULONG ulItemCount;      // item ids 0 .. count - 1
    ULONG ulMethodCount;    // method ids 0 .. count - 1
} TF_WMI_GUID_RECORD, *PTF_WMI_GUID_RECORD;

// Entry 0: last step of construction; FALSE fails it.
typedef BOOLEAN (*PTF_ADD_DEVICE_FUNCTION)(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice);
// Entry 1: names the device instead of the naming policy. The names hold the set's DeviceName and
// SymbolicLinkName; a null name is an empty value. The routine may change the strings; FALSE fails
// the construction.
typedef BOOLEAN (*PTF_DEVICE_CREATION)(CTfObject* pObject, HANDLE hDeviceKey, CTfString* pDeviceName,
                                       CTfString* pLinkName);
// Entries 2 to 5: TRUE for success.
typedef BOOLEAN (*PTF_DEVICE_BOOLEAN_CALLBACK)(CTfObject* pObject);
// Entries 6, 15 and 16.
typedef void (*PTF_DEVICE_VOID_CALLBACK)(CTfObject* pObject);
// Entry 7: one of the TF_REBALANCE_* phases.
typedef BOOLEAN (*PTF_REBALANCE_CALLBACK)(CTfObject* pObject, ULONG ulPhase);
// Entry 9: direct write; the routine owns pBuffer.
typedef void (*PTF_CHILD_WRITE_CALLBACK)(CTfObject* pObject, ULONG ulLeadingValue, CTfBuffer* pBuffer);
// Entry 10: a block from the write queue; the routine owns pBuffer (also when it answers FALSE).
typedef BOOLEAN (*PTF_WRITE_CALLBACK)(CTfObject* pObject, CTfBuffer* pBuffer);
// Entries 11 and 13: buffered control request; the input and the output are the system buffer.
typedef NTSTATUS (*PTF_BUFFERED_CONTROL_CALLBACK)(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                                   ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                                   PULONG_PTR pulInformation);
// Entry 12: the routine owns the request and returns the dispatch result.
typedef NTSTATUS (*PTF_REQUEST_CONTROL_CALLBACK)(CTfObject* pObject, PIRP pIrp);
// Entry 14: as entries 11 and 13; a routine that sets *ppQueue has the request held in that queue.
typedef NTSTATUS (*PTF_QUEUEING_CONTROL_CALLBACK)(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                                   ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                                   PULONG_PTR pulInformation, CTfControlQueue** ppQueue);
// Entry 18: configuration interface. ulPhase is a TF_UMI_PHASE_* value (tfusermodeinterface.h); setting
// *pucStoreAgain to 1 writes the set back to the registry.
typedef BOOLEAN (*PTF_USERMODE_INTERFACE_CALLBACK)(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex,
                                                    ULONG ulPhase, PUCHAR pucStoreAgain);
// Entries 21 to 26: WMI routines (GUID index into entry 20's array, instance index).
typedef BOOLEAN (*PTF_WMI_INSTANCE_SIZE)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize);
typedef BOOLEAN (*PTF_WMI_QUERY_DATA)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);
typedef BOOLEAN (*PTF_WMI_SET_DATA_BLOCK)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulSize,
                                          PUCHAR pucBuffer);
typedef BOOLEAN (*PTF_WMI_SET_DATA_ITEM)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulItemId,
                                         ULONG ulSize, PUCHAR pucBuffer);
typedef BOOLEAN (*PTF_WMI_METHOD_SIZE)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulMethodId,
                                       PULONG pulInSize, PULONG pulOutSize);
typedef BOOLEAN (*PTF_WMI_EXECUTE_METHOD)(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulMethodId,
                                          PULONG pulInSize, PULONG pulOutSize, PUCHAR pucBuffer);

// 28 pointer-sized entries, in this order.
class CTfDeviceCallbacks {
public:
    // Every entry null: a driver that fills no WMI entries leaves nothing undefined.
    CTfDeviceCallbacks() { m_Clear(); }
    void m_Clear();

    PTF_ADD_DEVICE_FUNCTION m_AddDeviceFunction;                          // 0
    PTF_DEVICE_CREATION m_DeviceCreation;                                 // 1
    PTF_DEVICE_BOOLEAN_CALLBACK m_CreateCallback;                         // 2
    PTF_DEVICE_BOOLEAN_CALLBACK m_CloseCallback;                          // 3
    PTF_DEVICE_BOOLEAN_CALLBACK m_CleanupCallback;                        // 4
    PTF_DEVICE_BOOLEAN_CALLBACK m_PnpStartDeviceCallback;                 // 5
    PTF_DEVICE_VOID_CALLBACK m_PnpRemoveDevice;                           // 6
    PTF_REBALANCE_CALLBACK m_RebalanceDeviceCallback;                     // 7
    PVOID m_pReserved8;                                                   // 8, never called
    PTF_CHILD_WRITE_CALLBACK m_ChildWriteCallback;                        // 9
    PTF_WRITE_CALLBACK m_WriteCallback;                                   // 10
    PTF_BUFFERED_CONTROL_CALLBACK m_InternalDeviceControlCallback;        // 11
    PTF_REQUEST_CONTROL_CALLBACK m_InternalDeviceControlRequestCallback;  // 12
    PTF_BUFFERED_CONTROL_CALLBACK m_DeviceControlCallback;                // 13
    PTF_QUEUEING_CONTROL_CALLBACK m_DeviceControlQueueingCallback;        // 14
    PTF_DEVICE_VOID_CALLBACK m_PowerDownResetDeviceFunction;              // 15
    PTF_DEVICE_VOID_CALLBACK m_PowerUpInitDeviceFunction;                 // 16
    CTfPassiveLevelExecutor* m_pExecutor;                                 // 17, framework use
    PTF_USERMODE_INTERFACE_CALLBACK m_UserModeInterface;                  // 18
    ULONG_PTR m_ulWmiGuidCount;                                           // 19
    PTF_WMI_GUID_RECORD m_pWmiGuidList;                                   // 20
    PTF_WMI_INSTANCE_SIZE m_WmiInstanceSize;                              // 21
    PTF_WMI_QUERY_DATA m_WmiQueryData;                                    // 22
    PTF_WMI_SET_DATA_BLOCK m_WmiSetDataBlock;                             // 23
    PTF_WMI_SET_DATA_ITEM m_WmiSetDataItem;                               // 24
    PTF_WMI_METHOD_SIZE m_WmiMethodSize;                                  // 25
    PTF_WMI_EXECUTE_METHOD m_WmiExecuteMethod;                            // 26
    PVOID m_pReserved27;                                                  // 27, kept, not called
};

inline void CTfDeviceCallbacks::m_Clear()
{
    m_AddDeviceFunction = NULL;
    m_DeviceCreation = NULL;
    m_CreateCallback = NULL;
    m_CloseCallback = NULL;
    m_CleanupCallback = NULL;
    m_PnpStartDeviceCallback = NULL;
    m_PnpRemoveDevice = NULL;
    m_RebalanceDeviceCallback = NULL;
    m_pReserved8 = NULL;
    m_ChildWriteCallback = NULL;
    m_WriteCallback = NULL;
    m_InternalDeviceControlCallback = NULL;
    m_InternalDeviceControlRequestCallback = NULL;
    m_DeviceControlCallback = NULL;
    m_DeviceControlQueueingCallback = NULL;
    m_PowerDownResetDeviceFunction = NULL;
    m_PowerUpInitDeviceFunction = NULL;
    m_pExecutor = NULL;
    m_UserModeInterface = NULL;
    m_ulWmiGuidCount = 0;
    m_pWmiGuidList = NULL;
    m_WmiInstanceSize = NULL;
    m_WmiQueryData = NULL;
    m_WmiSetDataBlock = NULL;
    m_WmiSetDataItem = NULL;
    m_WmiMethodSize = NULL;
    m_WmiExecuteMethod = NULL;
    m_pReserved27 = NULL;
}
