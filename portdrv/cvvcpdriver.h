// The port driver's object on each functional device: start (COM name, DOS-device link,
// SERIALCOMM entry, COM port interface, port object), removal, open, close, clean-up, the apply
// hook of the port parameter set, the serial control codes (cvvcpdevicecontrol.cpp) and the WMI
// blocks (cvvcpwmi.cpp).
//
// The port object pointer is protected by m_Guard alone: every use from a callback is bracketed by
// an acquire and a release, and removal closes the gate and waits before deleting the object.
#pragma once

#include <wdm.h>

#include "tfcontrolqueue.h"
#include "tfdevicecallbacks.h"
#include "tfreferencegate.h"
#include "tfstring.h"
#include "vcp.h"

class CCvUVCPDriver : public CTfObject {
public:
    // Hands back the add-device routine that completes the object's set-up.
    explicit CCvUVCPDriver(PTF_ADD_DEVICE_FUNCTION* ppAddDevice);
    // Frees the names, drains the guard and deletes a port object still present.
    virtual ~CCvUVCPDriver();

    static BOOLEAN m_AddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice);

    // Device callbacks, each forwarding to the member of the same name.
    static BOOLEAN sm_Open(CTfObject* pObject);
    static BOOLEAN sm_Close(CTfObject* pObject);
    static BOOLEAN sm_CleanUp(CTfObject* pObject);
    static BOOLEAN sm_PnpStartDevice(CTfObject* pObject);
    static void sm_PnpRemoveDevice(CTfObject* pObject);
    static BOOLEAN sm_Rebalance(CTfObject* pObject, ULONG ulPhase);
    static void sm_PowerDownResetDevice(CTfObject* pObject);
    static void sm_PowerUpInitDevice(CTfObject* pObject);
    static BOOLEAN sm_UserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase,
                                        PUCHAR pucStoreAgain);
    static BOOLEAN sm_WriteCallback(CTfObject* pObject, CTfBuffer* pBuffer);
    static NTSTATUS sm_DeviceControlCallback(CTfObject* pObject, ULONG ulCode, PVOID pInput, ULONG ulInputLength,
                                             PVOID pOutput, ULONG ulOutputLength, PULONG_PTR pulInformation,
                                             CTfControlQueue** ppQueue);
    static NTSTATUS sm_InternalDeviceControlCallback(CTfObject* pObject, ULONG ulCode, PVOID pInput,
                                                     ULONG ulInputLength, PVOID pOutput, ULONG ulOutputLength,
                                                     PULONG_PTR pulInformation);
    static void sm_DataAmountChangedInReadQueue(PVOID pContext, ULONG ulNewAmount, ULONG ulOldAmount);
    static BOOLEAN sm_IsTransmitterEmpty(PVOID pContext);
    static void sm_SendXoffCounterChar(PVOID pContext, UCHAR ucXoffChar);
    // WMI (cvvcpwmi.cpp).
    static BOOLEAN sm_WmiGetRequiredSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize);
    static BOOLEAN sm_WmiQueryDataBlock(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);
    static BOOLEAN sm_WmiSetDataBlock(CTfObject*, ULONG, ULONG, ULONG, PUCHAR);
    static BOOLEAN sm_WmiSetDataItem(CTfObject*, ULONG, ULONG, ULONG, ULONG, PUCHAR);
    static BOOLEAN sm_WmiMethodSize(CTfObject*, ULONG, ULONG, ULONG, PULONG, PULONG);
    static BOOLEAN sm_WmiExecuteMethod(CTfObject*, ULONG, ULONG, ULONG, PULONG, PULONG, PUCHAR);

    BOOLEAN m_Open();
    BOOLEAN m_Close();
    BOOLEAN m_CleanUp();
    BOOLEAN m_PnpStartDevice();
    BOOLEAN m_DoStartDevice();
    void m_DoRemoveDevice();
    BOOLEAN m_UserModeInterface(CCvUVcpUserModeInterface* pSet, ULONG ulPhase, PUCHAR pucStoreAgain);
    BOOLEAN m_WriteCallback(CTfBuffer* pBuffer);
    NTSTATUS m_DoDeviceControl(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                               ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue);
    NTSTATUS m_InternalDeviceControl(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                                     ULONG ulOutputLength, PULONG_PTR pulInformation);
    BOOLEAN m_WmiQueryDataBlock(ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);
    BOOLEAN m_WmiGetRequiredSize(ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize);

    BOOLEAN m_IsOpen() const { return ReadNoFence(&m_lOpen) != FALSE; }

private:
    // The port object under the guard, or null (nothing acquired).
    CVCP* m_AcquireVcp();
    void m_ReleaseVcp() { m_Guard.m_Release(); }
    BOOLEAN m_RegisterComName();
    BOOLEAN m_CreatePortObject();
    void m_InstallStartCallbacks();
    void m_RemoveComName();
    BOOLEAN m_BuildSerialCommName(CTfString& Name);
    // Cancels what the framework's queues hold for the handle (clean-up, removal).
    void m_CancelQueues();
    NTSTATUS m_ControlWithPort(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                               ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue);
    NTSTATUS m_CallPort(CVCP* pVcp, ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput,
                        ULONG ulOutputLength, PULONG_PTR pulInformation, CTfControlQueue** ppQueue);
    NTSTATUS m_ControlXoffCounter(PVOID pInput, ULONG ulInputLength);
    NTSTATUS m_ControlEeprom(ULONG ulCode, PVOID pInput, ULONG ulInputLength, PVOID pOutput, ULONG ulOutputLength,
                             PULONG_PTR pulInformation);
    BOOLEAN m_ApplySet(CVCP* pVcp, CCvUVcpUserModeInterface* pSet, ULONG ulPhase, PUCHAR pucStoreAgain);

    CTfFunctionalDevice* m_pFunctionalDevice;
    // Interlocked: open sets it, and close and removal race to clear it. Whichever clears it
    // disconnects the port; every other reader takes it with ReadNoFence.
    volatile LONG m_lOpen;
    CVCP* m_pVCP;
    CTfReferenceGate m_Guard;
    CTfString m_PortName;
    UNICODE_STRING m_InterfaceLinkName;
    HANDLE m_hParametersKey;
    LARGE_INTEGER m_RelativeTime;
    // What start made, so that removal undoes exactly that.
    BOOLEAN m_bPortNameRead;
    BOOLEAN m_bLinkCreated;
    BOOLEAN m_bSerialCommWritten;
    // The set loads at start and create follow the start and open callbacks; a value the bus no
    // longer accepts must not fail them.
    BOOLEAN m_bLoadFollows;
    CCvUVcpUserModeInterface* m_pLastSet;
    VCP_PARAMETERS m_LastAccepted;
    BOOLEAN m_bHaveAccepted;
};
