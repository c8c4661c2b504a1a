// The ISerial record and the port-object base that builds it, routes its operations and raises the
// port driver's callbacks.
#include "cviserial.h"

#include "tfdebug.h"

// ---- ISerial ------------------------------------------------------------------------------------

ISerial::ISerial() : m_pOwner(NULL), m_pContext(NULL), m_ucDuplex(0), m_ulSupportedBaudRates(ISERIAL_SUPPORTED_BAUD_UNKNOWN)
{
    m_Capabilities.ucLsrMstInsertion = 0;
    m_Capabilities.ucEepromRead = 0;
    m_Capabilities.ucEepromWrite = 0;
    m_Capabilities.ucCts = 1;
    m_Capabilities.ucRts = 1;
    m_Capabilities.ucDsr = 1;
    m_Capabilities.ucDtr = 1;
    m_Capabilities.ucDcd = 1;
    m_Capabilities.ucRi = 1;
    RtlZeroMemory(&m_Operations, sizeof(m_Operations));
    RtlZeroMemory(&m_Callbacks, sizeof(m_Callbacks));
}

ISerial::~ISerial()
{
}

// ---- Construction ---------------------------------------------------------------------------------

CSerialPortProvider::CSerialPortProvider() : m_pISerial(NULL)
{
    m_ServerOperations.pConnect = sm_Connect;
    m_ServerOperations.pDisconnect = sm_Disconnect;
    m_ServerOperations.pWrite = sm_Write;
    m_ServerOperations.pSetRts = sm_SetRts;
    m_ServerOperations.pSetDtr = sm_SetDtr;
    m_ServerOperations.pCommSettings = sm_CommSettings;
    m_ServerOperations.pSetBaudRate = sm_SetBaudRate;
    m_ServerOperations.pTriggerLevels = sm_TriggerLevels;
    m_ServerOperations.pHandshaking = sm_Handshaking;
    m_ServerOperations.pInternalLoopback = sm_InternalLoopback;
    m_ServerOperations.pDuplexMode = sm_DuplexMode;
    m_ServerOperations.pReadEeprom = sm_ReadEeprom;
    m_ServerOperations.pWriteEeprom = sm_WriteEeprom;
    m_ServerOperations.pSetBreak = sm_SetBreak;
    m_ServerOperations.pPurge = sm_Purge;
    m_ServerOperations.pIsBaudRateSettable = sm_IsBaudRateSettable;
    m_ServerOperations.pSpecialCharacters = sm_SpecialCharacters;
    m_ServerOperations.pLsrMstInsertion = sm_LsrMstInsertion;
    m_ServerOperations.pPretendXoffReceived = sm_PretendXoffReceived;
    m_ServerOperations.pSendImmediateCharacter = sm_SendImmediateCharacter;
    m_ServerOperations.pGetFifoSizes = sm_GetFifoSizes;
    m_ServerOperations.pGetModemStatus = sm_GetModemStatus;
    m_ServerOperations.pSendXonXoff = sm_SendXonXoff;
    m_ServerOperations.pGetMaximumBaudRate = sm_GetMaximumBaudRate;
}

CSerialPortProvider::~CSerialPortProvider()
{
    if (m_pISerial != NULL) {
        delete m_pISerial;
        m_pISerial = NULL;
    }
}

BOOLEAN CSerialPortProvider::m_Init()
{
    return TRUE;
}

BOOLEAN CSerialPortProvider::m_DeInit()
{
    return TRUE;
}

ISerial* CSerialPortProvider::m_CreateInterface(ULONG ulVersion, UCHAR ucDuplex, ULONG ulSupportedBaudRates,
                                                UCHAR ucLsrMst, UCHAR ucEepromRead, UCHAR ucEepromWrite, UCHAR ucCts,
                                                UCHAR ucRts, UCHAR ucDtr, UCHAR ucDsr, UCHAR ucDcd, UCHAR ucRi)
{
    return m_BuildISerial(ulVersion, ucDuplex, ulSupportedBaudRates, ucLsrMst, ucEepromRead, ucEepromWrite, ucCts,
                          ucRts, ucDtr, ucDsr, ucDcd, ucRi);
}

// ---- The record -----------------------------------------------------------------------------------

ISerial* CSerialPortProvider::m_BuildISerial(ULONG ulVersion, UCHAR ucDuplex, ULONG ulSupportedBaudRates,
                                             UCHAR ucLsrMst, UCHAR ucEepromRead, UCHAR ucEepromWrite, UCHAR ucCts,
                                             UCHAR ucRts, UCHAR ucDtr, UCHAR ucDsr, UCHAR ucDcd, UCHAR ucRi)
{
    TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - IN");
    if (m_pISerial != NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - OUT - Fail-> record built already");
        return NULL;
    }
    if (ulVersion != ISERIAL_VERSION) {
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - OUT - Fail-> version %u", ulVersion);
        return NULL;
    }
    ISerial* pISerial = new (NonPagedPool) ISerial();
    if (pISerial == NULL) {
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - OUT - Fail-> no memory");
        return NULL;
    }
    pISerial->m_pOwner = this;
    pISerial->m_ucDuplex = ucDuplex;
    pISerial->m_ulSupportedBaudRates = ulSupportedBaudRates;
    pISerial->m_Capabilities.ucLsrMstInsertion = ucLsrMst;
    pISerial->m_Capabilities.ucEepromRead = ucEepromRead;
    pISerial->m_Capabilities.ucEepromWrite = ucEepromWrite;
    pISerial->m_Capabilities.ucCts = ucCts;
    pISerial->m_Capabilities.ucRts = ucRts;
    // The caller names DTR before DSR; the record keeps DSR first.
    pISerial->m_Capabilities.ucDsr = ucDsr;
    pISerial->m_Capabilities.ucDtr = ucDtr;
    pISerial->m_Capabilities.ucDcd = ucDcd;
    pISerial->m_Capabilities.ucRi = ucRi;
    m_CopyOperations(pISerial);
    m_pISerial = pISerial;
    TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - OUT (Success)");
    return pISerial;
}

// Every operation but the optional ones, which only a port with the capability publishes (the
// record keeps the others null).
void CSerialPortProvider::m_CopyOperations(ISerial* pISerial)
{
    ISERIAL_OPERATIONS& Record = pISerial->m_Operations;
    Record = m_ServerOperations;
    if (pISerial->m_ucDuplex != 1) {
        Record.pDuplexMode = NULL;
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - duplex mode not published");
    }
    if (pISerial->m_Capabilities.ucEepromRead != 1) {
        Record.pReadEeprom = NULL;
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - EEPROM read not published");
    }
    if (pISerial->m_Capabilities.ucEepromWrite != 1) {
        Record.pWriteEeprom = NULL;
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - EEPROM write not published");
    }
    if (pISerial->m_Capabilities.ucLsrMstInsertion != 1) {
        Record.pLsrMstInsertion = NULL;
        TfDebugLog(7, "CSerialPortProvider::m_BuildISerial - LSR/MST insertion not published");
    }
}

ISerial* CSerialPortProvider::m_GetISerial()
{
    if (m_pISerial == NULL) {
        TF_ASSERT_AT();
    }
    return m_pISerial;
}

// ---- Callback invokers ----------------------------------------------------------------------------

PISERIAL_CALLBACKS CSerialPortProvider::m_GetCallbacks(PVOID* ppContext)
{
    if (m_pISerial == NULL || m_pISerial->m_pContext == NULL) {
        return NULL;
    }
    *ppContext = m_pISerial->m_pContext;
    return &m_pISerial->m_Callbacks;
}

BOOLEAN CSerialPortProvider::m_InvokeRead(CTfBuffer* pBuffer)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pRead == NULL) {
        // Nobody takes the data: it goes here rather than nowhere.
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        return FALSE;
    }
    return pCallbacks->pRead(pContext, pBuffer);
}

BOOLEAN CSerialPortProvider::m_InvokeLineStatus(BOOLEAN bOverrun, BOOLEAN bParityError, BOOLEAN bFramingError,
                                                BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt,
                                                BOOLEAN bFifoError)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pLineStatus == NULL) {
        return FALSE;
    }
    return pCallbacks->pLineStatus(pContext, bOverrun, bParityError, bFramingError, bBreak, bDataReady, bThre, bTemt,
                                   bFifoError);
}

BOOLEAN CSerialPortProvider::m_InvokeModemStatus(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri, BOOLEAN bDcd)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pModemStatus == NULL) {
        return FALSE;
    }
    return pCallbacks->pModemStatus(pContext, bCts, bDsr, bRi, bTeri, bDcd);
}

BOOLEAN CSerialPortProvider::m_InvokeDataWritten(ULONG ulCount)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pDataWritten == NULL) {
        return FALSE;
    }
    return pCallbacks->pDataWritten(pContext, ulCount);
}

BOOLEAN CSerialPortProvider::m_InvokeImmediateCharacterSent()
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pImmediateCharacterSent == NULL) {
        return FALSE;
    }
    return pCallbacks->pImmediateCharacterSent(pContext);
}

BOOLEAN CSerialPortProvider::m_InvokeXoffSent(BOOLEAN bXoffSent)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pXoffSent == NULL) {
        return FALSE;
    }
    return pCallbacks->pXoffSent(pContext, bXoffSent);
}

BOOLEAN CSerialPortProvider::m_InvokeAvailableReceiveBufferSize(ULONG ulJustReceived, ULONG ulFifoAllowance,
                                                                PULONG pulAvailable)
{
    PVOID pContext = NULL;
    PISERIAL_CALLBACKS pCallbacks = m_GetCallbacks(&pContext);
    if (pCallbacks == NULL || pCallbacks->pAvailableReceiveBufferSize == NULL) {
        return FALSE;
    }
    return pCallbacks->pAvailableReceiveBufferSize(pContext, ulJustReceived, ulFifoAllowance, pulAvailable);
}

// ---- Operation trampolines ------------------------------------------------------------------------

BOOLEAN CSerialPortProvider::m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData)
{
    return FALSE;
}

BOOLEAN CSerialPortProvider::m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData)
{
    return FALSE;
}

BOOLEAN CSerialPortProvider::sm_Connect(CSerialPortProvider* pOwner)
{
    return pOwner != NULL && pOwner->m_ConnectCallback();
}

BOOLEAN CSerialPortProvider::sm_Disconnect(CSerialPortProvider* pOwner)
{
    return pOwner != NULL && pOwner->m_DisconnectCallback();
}

BOOLEAN CSerialPortProvider::sm_Write(CSerialPortProvider* pOwner, CTfBuffer* pBuffer)
{
    if (pOwner == NULL) {
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        return FALSE;
    }
    return pOwner->m_PortWriteCallback(pBuffer);
}

BOOLEAN CSerialPortProvider::sm_SetRts(CSerialPortProvider* pOwner, BOOLEAN bSet)
{
    return pOwner != NULL && pOwner->m_RtsCallback(bSet);
}

BOOLEAN CSerialPortProvider::sm_SetDtr(CSerialPortProvider* pOwner, BOOLEAN bSet)
{
    return pOwner != NULL && pOwner->m_DtrCallback(bSet);
}

BOOLEAN CSerialPortProvider::sm_CommSettings(CSerialPortProvider* pOwner, UCHAR ucDataBitsCode, UCHAR ucParityCode,
                                             UCHAR ucStopBitsCode)
{
    return pOwner != NULL && pOwner->m_CommSettingsCallback(ucDataBitsCode, ucParityCode, ucStopBitsCode);
}

BOOLEAN CSerialPortProvider::sm_SetBaudRate(CSerialPortProvider* pOwner, ULONG ulBaudRate)
{
    return pOwner != NULL && pOwner->m_BaudrateCallback(ulBaudRate);
}

BOOLEAN CSerialPortProvider::sm_TriggerLevels(CSerialPortProvider* pOwner, UCHAR ucTxLevel, UCHAR ucRxLevel,
                                              UCHAR ucFlowControlLevel)
{
    return pOwner != NULL && pOwner->m_TriggerLevelsCallback(ucTxLevel, ucRxLevel, ucFlowControlLevel);
}

BOOLEAN CSerialPortProvider::sm_Handshaking(CSerialPortProvider* pOwner, BOOLEAN bCtsOut, BOOLEAN bRtsIn,
                                            BOOLEAN bDsrOut, BOOLEAN bDtrIn, BOOLEAN bDsrSensitivity,
                                            BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut, BOOLEAN bXonXoffIn,
                                            BOOLEAN bContinueAfterXoffSent, BOOLEAN bNullStripping,
                                            BOOLEAN bErrorCharacter, BOOLEAN bBreakCharacter)
{
    return pOwner != NULL &&
           pOwner->m_HandshakingSettingsCallback(bCtsOut, bRtsIn, bDsrOut, bDtrIn, bDsrSensitivity, bRtsToggle,
                                                 bXonXoffOut, bXonXoffIn, bContinueAfterXoffSent, bNullStripping,
                                                 bErrorCharacter, bBreakCharacter);
}

BOOLEAN CSerialPortProvider::sm_InternalLoopback(CSerialPortProvider* pOwner, BOOLEAN bOn)
{
    return pOwner != NULL && pOwner->m_InternalLoopbackCallback(bOn);
}

BOOLEAN CSerialPortProvider::sm_DuplexMode(CSerialPortProvider* pOwner, ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    return pOwner != NULL && pOwner->m_DuplexModeSettingsCallback(ulDuplexMode, bCtsTrue);
}

BOOLEAN CSerialPortProvider::sm_ReadEeprom(CSerialPortProvider* pOwner, ULONG ulOffset, ULONG ulLength,
                                           PUCHAR pucData)
{
    return pOwner != NULL && pOwner->m_ReadEepromCallback(ulOffset, ulLength, pucData);
}

BOOLEAN CSerialPortProvider::sm_WriteEeprom(CSerialPortProvider* pOwner, ULONG ulOffset, ULONG ulLength,
                                            PUCHAR pucData)
{
    return pOwner != NULL && pOwner->m_WriteEepromCallback(ulOffset, ulLength, pucData);
}

BOOLEAN CSerialPortProvider::sm_SetBreak(CSerialPortProvider* pOwner, BOOLEAN bOn)
{
    return pOwner != NULL && pOwner->m_SetBreakCallback(bOn);
}

BOOLEAN CSerialPortProvider::sm_Purge(CSerialPortProvider* pOwner, BOOLEAN bTx, BOOLEAN bRx)
{
    return pOwner != NULL && pOwner->m_PurgeCallback(bTx, bRx);
}

BOOLEAN CSerialPortProvider::sm_IsBaudRateSettable(CSerialPortProvider* pOwner, ULONG ulBaudRate)
{
    return pOwner != NULL && pOwner->m_IsBaudRateSettableCallback(ulBaudRate);
}

BOOLEAN CSerialPortProvider::sm_SpecialCharacters(CSerialPortProvider* pOwner, UCHAR ucBreak, UCHAR ucEof,
                                                  UCHAR ucError, UCHAR ucEvent, UCHAR ucXon, UCHAR ucXoff)
{
    return pOwner != NULL && pOwner->m_SetSpecialCharactersCallback(ucBreak, ucEof, ucError, ucEvent, ucXon, ucXoff);
}

BOOLEAN CSerialPortProvider::sm_LsrMstInsertion(CSerialPortProvider* pOwner, UCHAR ucEscape)
{
    return pOwner != NULL && pOwner->m_LsrMstInsertionCallback(ucEscape);
}

BOOLEAN CSerialPortProvider::sm_PretendXoffReceived(CSerialPortProvider* pOwner, BOOLEAN bXoff)
{
    return pOwner != NULL && pOwner->m_PretendXoffReceivedCallback(bXoff);
}

BOOLEAN CSerialPortProvider::sm_SendImmediateCharacter(CSerialPortProvider* pOwner, UCHAR ucCharacter)
{
    return pOwner != NULL && pOwner->m_SendImmediateCharacterCallback(ucCharacter);
}

BOOLEAN CSerialPortProvider::sm_GetFifoSizes(CSerialPortProvider* pOwner, PULONG pulTxFifoSize, PULONG pulRxFifoSize)
{
    return pOwner != NULL && pOwner->m_GetFifoSizesCallback(pulTxFifoSize, pulRxFifoSize);
}

BOOLEAN CSerialPortProvider::sm_GetModemStatus(CSerialPortProvider* pOwner)
{
    return pOwner != NULL && pOwner->m_GetModemStatusCallback();
}

BOOLEAN CSerialPortProvider::sm_SendXonXoff(CSerialPortProvider* pOwner, BOOLEAN bXoff)
{
    return pOwner != NULL && pOwner->m_SendXonXoffCallback(bXoff);
}

BOOLEAN CSerialPortProvider::sm_GetMaximumBaudRate(CSerialPortProvider* pOwner, PULONG pulBaudRate)
{
    return pOwner != NULL && pOwner->m_GetMaximumBaudRateCallback(pulBaudRate);
}
