// The port's side of the ISerial contract.
#include "vcpbusinterface.h"

#include "tfdebug.h"
#include "tffunctionaldevice.h"
#include "tfrequest.h"

// ---------------------------------------------------------------------------------------------
// Callback block and trampolines
// ---------------------------------------------------------------------------------------------

CVcpBusCallbacks::CVcpBusCallbacks() : m_pISerial(NULL)
{
    m_Trampolines.pRead = sm_ReadCallback;
    m_Trampolines.pReserved = sm_ReservedCallback;
    m_Trampolines.pLineStatus = sm_LineStatusCallback;
    m_Trampolines.pModemStatus = sm_ModemStatusCallback;
    m_Trampolines.pDataWritten = sm_DataWrittenCallback;
    m_Trampolines.pImmediateCharacterSent = sm_ImmediateCharacterSentCallback;
    m_Trampolines.pXoffHolding = sm_XoffHoldingCallback;
    m_Trampolines.pXoffSent = sm_XoffSentCallback;
    m_Trampolines.pAvailableReceiveBufferSize = sm_AvailableReceiveBufferSizeCallback;
}

BOOLEAN CVcpBusCallbacks::sm_ReadCallback(PVOID pContext, CTfBuffer* pBuffer)
{
    if (pContext == NULL) {
        return FALSE;
    }
    return ((CVcpBusInterface*)pContext)->m_Read(pBuffer);
}

BOOLEAN CVcpBusCallbacks::sm_ReservedCallback(PVOID pContext)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_ReservedCallback();
}

BOOLEAN CVcpBusCallbacks::sm_LineStatusCallback(PVOID pContext, BOOLEAN bOverrun, BOOLEAN bParity,
                                                BOOLEAN bFraming, BOOLEAN bBreak, BOOLEAN bDataReady,
                                                BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)
                                   ->m_LineStatusCallback(bOverrun, bParity, bFraming, bBreak, bDataReady, bThre,
                                                          bTemt, bFifoError);
}

BOOLEAN CVcpBusCallbacks::sm_ModemStatusCallback(PVOID pContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                                 BOOLEAN bTeri, BOOLEAN bDcd)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_ModemStatusCallback(bCts, bDsr, bRi, bTeri, bDcd);
}

BOOLEAN CVcpBusCallbacks::sm_DataWrittenCallback(PVOID pContext, ULONG ulCount)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_DataWrittenCallback(ulCount);
}

BOOLEAN CVcpBusCallbacks::sm_ImmediateCharacterSentCallback(PVOID pContext)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_ImmediateCharacterSentCallback();
}

BOOLEAN CVcpBusCallbacks::sm_XoffHoldingCallback(PVOID pContext, BOOLEAN bFlag)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_XoffHoldingCallback(bFlag);
}

BOOLEAN CVcpBusCallbacks::sm_XoffSentCallback(PVOID pContext, BOOLEAN bFlag)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)->m_XoffSentCallback(bFlag);
}

BOOLEAN CVcpBusCallbacks::sm_AvailableReceiveBufferSizeCallback(PVOID pContext, ULONG ulJustReceived,
                                                                ULONG ulFifoAllowance, PULONG pulAvailable)
{
    return pContext != NULL && ((CVcpBusInterface*)pContext)
                                   ->m_AvailableReceiveBufferSizeCallback(ulJustReceived, ulFifoAllowance,
                                                                          pulAvailable);
}

// ---------------------------------------------------------------------------------------------
// CVcpBusInterface
// ---------------------------------------------------------------------------------------------

CVcpBusInterface::CVcpBusInterface() : m_pFunctionalDevice(NULL), m_ulPortNumber(0), m_pCallbacks(NULL) {}

CVcpBusInterface::~CVcpBusInterface()
{
    if (m_pCallbacks != NULL) {
        delete m_pCallbacks;
        m_pCallbacks = NULL;
    }
}

BOOLEAN CVcpBusInterface::m_Read(CTfBuffer* pBuffer)
{
    if (pBuffer != NULL) {
        pBuffer->m_Delete();
    }
    return FALSE;
}

BOOLEAN CVcpBusInterface::m_LineStatusCallback(BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN,
                                               BOOLEAN)
{
    return FALSE;
}

BOOLEAN CVcpBusInterface::m_ModemStatusCallback(BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN) { return FALSE; }
BOOLEAN CVcpBusInterface::m_DataWrittenCallback(ULONG) { return FALSE; }
BOOLEAN CVcpBusInterface::m_ImmediateCharacterSentCallback() { return FALSE; }
BOOLEAN CVcpBusInterface::m_XoffHoldingCallback(BOOLEAN) { return FALSE; }
BOOLEAN CVcpBusInterface::m_XoffSentCallback(BOOLEAN) { return FALSE; }

BOOLEAN CVcpBusInterface::m_AvailableReceiveBufferSizeCallback(ULONG, ULONG, PULONG)
{
    return FALSE;
}

ISerial* CVcpBusInterface::m_GetISerial()
{
    if (m_pCallbacks == NULL || m_pCallbacks->m_pISerial == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "cviserial", 1022);
        return NULL;
    }
    return m_pCallbacks->m_pISerial;
}

BOOLEAN CVcpBusInterface::m_CreateISerial(CTfFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber)
{
    TfDebugLog(7, "CVcpBusInterface::m_CreateISerial - IN");
    m_pFunctionalDevice = pFunctionalDevice;
    m_ulPortNumber = ulPortNumber;

    CVISERIAL_CREATE_REQUEST Request;
    Request.ulVersion = ISERIAL_VERSION;
    Request.ulPortNumber = ulPortNumber;
    CVISERIAL_CREATE_RESPONSE Response;
    Response.pISerial = NULL;
    ULONG ulOutputLength = sizeof(Response);
    if (!TfSendSynchronousDeviceControlWithOutput(pFunctionalDevice->m_GetLowerDeviceObject(), IOCTL_CREATE_CVISERIAL,
                                                  &Request, sizeof(Request), &Response, &ulOutputLength, TRUE,
                                                  NULL) ||
        ulOutputLength != sizeof(Response)) {
        TfDebugLog(7, "CVcpBusInterface::m_CreateISerial - OUT - Fail-> request");
        return FALSE;
    }
    if (Response.pISerial == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "vcpbusinterface", __LINE__);
        // The bus made a port object for this number: have it deleted.
        m_ReleaseISerial(ulPortNumber, NULL);
        TfDebugLog(7, "CVcpBusInterface::m_CreateISerial - OUT - Fail-> no record");
        return FALSE;
    }
    CVcpBusCallbacks* pCallbacks = new (NonPagedPool) CVcpBusCallbacks();
    if (pCallbacks == NULL) {
        m_ReleaseISerial(ulPortNumber, Response.pISerial);
        TfDebugLog(7, "CVcpBusInterface::m_CreateISerial - OUT - Fail-> no memory");
        return FALSE;
    }
    pCallbacks->m_pISerial = Response.pISerial;
    m_pCallbacks = pCallbacks;
    ISerial* pISerial = Response.pISerial;
    pISerial->m_pContext = this;
    pISerial->m_Callbacks = pCallbacks->m_Trampolines;
    TfDebugLog(7, "CVcpBusInterface::m_CreateISerial - OUT (Success)");
    return TRUE;
}

BOOLEAN CVcpBusInterface::m_ReleaseISerial(ULONG ulPortNumber, ISerial* pISerial)
{
    TfDebugLog(7, "CVcpBusInterface::m_ReleaseISerial - IN");
    CVISERIAL_RELEASE_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.ulPortNumber = ulPortNumber;
    Request.pISerial = pISerial;
    BOOLEAN bResult = FALSE;
    if (m_pFunctionalDevice != NULL) {
        bResult = TfSendSynchronousDeviceControl(m_pFunctionalDevice->m_GetLowerDeviceObject(),
                                                 IOCTL_RELEASE_CVISERIAL, &Request, sizeof(Request), TRUE, NULL);
    }
    if (m_pCallbacks != NULL) {
        delete m_pCallbacks;
        m_pCallbacks = NULL;
    }
    TfDebugLog(7, bResult ? "CVcpBusInterface::m_ReleaseISerial - OUT (Success)"
                          : "CVcpBusInterface::m_ReleaseISerial - OUT - Fail-> request");
    return bResult;
}
