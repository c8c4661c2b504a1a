// The port's side of the ISerial contract: obtains the bus driver's record for one port, writes
// its own context and the nine callback trampolines into it, and gives it back. The port object
// derives from it and overrides the callbacks.
#pragma once

#include <wdm.h>

#include "cviserial.h"
#include "tfobject.h"

class CTfFunctionalDevice;

class CVcpBusInterface;

// The callback block: the ISerial pointer and the trampolines copied into the record.
class CVcpBusCallbacks : public CTfObject {
public:
    CVcpBusCallbacks();
    virtual ~CVcpBusCallbacks() {}

    ISerial* m_pISerial;
    ISERIAL_CALLBACKS m_Trampolines;

    static BOOLEAN sm_ReadCallback(PVOID pContext, CTfBuffer* pBuffer);
    static BOOLEAN sm_ReservedCallback(PVOID pContext);
    static BOOLEAN sm_LineStatusCallback(PVOID pContext, BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming,
                                         BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt,
                                         BOOLEAN bFifoError);
    static BOOLEAN sm_ModemStatusCallback(PVOID pContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri,
                                          BOOLEAN bDcd);
    static BOOLEAN sm_DataWrittenCallback(PVOID pContext, ULONG ulCount);
    static BOOLEAN sm_ImmediateCharacterSentCallback(PVOID pContext);
    static BOOLEAN sm_XoffHoldingCallback(PVOID pContext, BOOLEAN bFlag);
    static BOOLEAN sm_XoffSentCallback(PVOID pContext, BOOLEAN bFlag);
    static BOOLEAN sm_AvailableReceiveBufferSizeCallback(PVOID pContext, ULONG ulJustReceived,
                                                         ULONG ulFifoAllowance, PULONG pulAvailable);
};

class CVcpBusInterface : public CTfObject {
public:
    CVcpBusInterface();
    virtual ~CVcpBusInterface();

    // The nine callbacks (the bus calls them through the trampolines) and the read queue's hook.
    virtual BOOLEAN m_Read(CTfBuffer* pBuffer);
    virtual BOOLEAN m_ReservedCallback() { return FALSE; }
    virtual BOOLEAN m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                         BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError);
    virtual BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri, BOOLEAN bDcd);
    virtual BOOLEAN m_DataWrittenCallback(ULONG ulCount);
    virtual BOOLEAN m_ImmediateCharacterSentCallback();
    virtual BOOLEAN m_XoffHoldingCallback(BOOLEAN bFlag);
    virtual BOOLEAN m_XoffSentCallback(BOOLEAN bFlag);
    virtual BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulJustReceived, ULONG ulFifoAllowance,
                                                         PULONG pulAvailable);
    virtual void m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) {}

    // IOCTL_CREATE_CVISERIAL to the functional device's lower device; TRUE with the record held.
    BOOLEAN m_CreateISerial(CTfFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber);
    // IOCTL_RELEASE_CVISERIAL; the callback block is deleted whatever the answer.
    BOOLEAN m_ReleaseISerial(ULONG ulPortNumber, ISerial* pISerial);

    // The record, or null (with an assertion line) when none is held.
    ISerial* m_GetISerial();
    BOOLEAN m_HasCallbackBlock() const { return m_pCallbacks != NULL; }
    CTfFunctionalDevice* m_GetFunctionalDevice() const { return m_pFunctionalDevice; }
    ULONG m_GetPortNumber() const { return m_ulPortNumber; }

protected:
    CTfFunctionalDevice* m_pFunctionalDevice;
    ULONG m_ulPortNumber;
    CVcpBusCallbacks* m_pCallbacks;
};

// Calls one operation of the record; a missing record, owner or operation is a failed call.
template <typename TOperation, typename... TArguments>
inline BOOLEAN VcpCallISerial(ISerial* pISerial, TOperation pOperation, TArguments... Arguments)
{
    if (pISerial == NULL || pISerial->m_pOwner == NULL || pOperation == NULL) {
        return FALSE;
    }
    return pOperation(pISerial->m_pOwner, Arguments...);
}
