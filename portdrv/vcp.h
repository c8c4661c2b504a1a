// The COM port object: the Win32 serial state of one port (baud rate, line control, handshake,
// special characters, time-outs, statistics, modem-control image, status images, hold reasons,
// error words), turned into ISerial operations. Sources: vcp.cpp (state, open, close, status
// queries, wait mask, rate discovery), vcpsettings.cpp (setting operations), vcpreceive.cpp
// (receive path and receive flow control), vcpwrite.cpp (write path, line and modem status).
//
// Words shared with the bus callbacks (images, holds, error words, flow-control flags) are LONGs
// changed only by interlocked exchange or OR and read by interlocked reads. The out-queue amount and
// the immediate-character flag change together under m_OutQueueLock. The handshake and the special
// characters are set by the application's requests and read by the bus's callbacks on the bus's
// threads: both are written and read only under m_SettingsLock, as whole copies.
#pragma once

#include <wdm.h>
#include <ntddser.h>

#include "tfcontrolqueue.h"
#include "tfreadqueue.h"
#include "tfwritequeue.h"
#include "tfpassivelevelexecutor.h"
#include "tfspinlock.h"
#include "vcpbusinterface.h"
#include "vcpparameters.h"

// Receive queue sizes by system size.
#define VCP_RX_SIZE_SMALL 512
#define VCP_RX_SIZE_MEDIUM 4096
#define VCP_RX_SIZE_LARGE 16384
// Largest receive queue an application may ask for; larger requests are clamped.
#define VCP_RX_SIZE_MAXIMUM 0x100000
// Priority of the port's passive-level executor.
#define VCP_EXECUTOR_PRIORITY 31

class CVCP : public CVcpBusInterface {
public:
    CVCP();
    // m_DeInit.
    virtual ~CVCP();

    virtual BOOLEAN m_Init(CTfFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber);
    virtual BOOLEAN m_DeInit();
    virtual BOOLEAN m_Connect();
    virtual BOOLEAN m_Disconnect();

    // Setting operations (vcpsettings.cpp).
    virtual NTSTATUS m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate);
    virtual NTSTATUS m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl);
    virtual NTSTATUS m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts);
    virtual NTSTATUS m_SetSpecialCharacters(const SERIAL_CHARS* pChars);
    virtual NTSTATUS m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow);
    virtual NTSTATUS m_ClearDtr();
    virtual NTSTATUS m_SetDtr();
    virtual NTSTATUS m_ClearRts();
    virtual NTSTATUS m_SetRts();
    virtual NTSTATUS m_SetBreakOn();
    virtual NTSTATUS m_SetBreakOff();
    virtual NTSTATUS m_SetModemControl(ULONG ulModemControl);
    virtual NTSTATUS m_SetXon();
    virtual NTSTATUS m_SetXoff();
    virtual NTSTATUS m_ResetDevice();
    virtual NTSTATUS m_SendImmediateChar(UCHAR ucCharacter);
    virtual NTSTATUS m_GetCommStatus(PSERIAL_STATUS pStatus);
    virtual NTSTATUS m_Purge(ULONG ulMask);
    virtual NTSTATUS m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize);
    virtual NTSTATUS m_SetLsrMstInsert(UCHAR ucEscape);
    virtual NTSTATUS m_SetFifoControl(UCHAR ucFifoControl);
    virtual BOOLEAN m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl);
    virtual NTSTATUS m_GetPortProperties(PSERIAL_COMMPROP pCommProp);
    virtual NTSTATUS m_SetDuplexMode(ULONG ulMode, UCHAR ucCtsTrue);
    virtual NTSTATUS m_SetInternalLoopBackMode(UCHAR ucState);
    virtual NTSTATUS m_ReadEeprom(ULONG ulStart, ULONG ulLength, PUCHAR pucBuffer);
    virtual NTSTATUS m_WriteEeprom(ULONG ulStart, ULONG ulLength, PUCHAR pucData);
    virtual NTSTATUS m_SetWaitMask(ULONG ulMask);
    virtual NTSTATUS m_GetWaitMask(PULONG pulMask);
    virtual NTSTATUS m_WaitOnMask(CTfControlQueue** ppQueue);
    virtual void m_ResolveCurrentEventMask();
    virtual NTSTATUS m_InternalBasicSettings(PSERIAL_BASIC_SETTINGS pSettings);
    virtual NTSTATUS m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSettings);
    virtual NTSTATUS m_CancelWaitWake();
    virtual NTSTATUS m_DoWaitWake();

    // Callbacks of the bus (vcpreceive.cpp, vcpwrite.cpp).
    BOOLEAN m_Read(CTfBuffer* pBuffer) override;
    BOOLEAN m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                 BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError) override;
    BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri, BOOLEAN bDcd) override;
    BOOLEAN m_DataWrittenCallback(ULONG ulCount) override;
    BOOLEAN m_ImmediateCharacterSentCallback() override;
    BOOLEAN m_XoffHoldingCallback(BOOLEAN bFlag) override;
    BOOLEAN m_XoffSentCallback(BOOLEAN bFlag) override;
    BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulJustReceived, ULONG ulFifoAllowance,
                                                 PULONG pulAvailable) override;
    void m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) override;

    // Write path (vcpwrite.cpp).
    BOOLEAN m_Write(CTfBuffer* pBuffer);
    BOOLEAN m_SendSerialXoffCounterChar(UCHAR ucXoffChar);

    // Queries (vcp.cpp).
    ULONG m_GetModemStatus();
    BOOLEAN m_CheckIsTransmitterIsEmpty();
    BOOLEAN m_CheckSupportedBaudRates();
    BOOLEAN m_IsBaudRateSettable(ULONG ulBaudRate);
    BOOLEAN m_UpdateSignalSupport();
    ULONG m_GetPortType();
    LONGLONG m_GetCharTime();
    void m_DumpStatistics();

    // The parameter set (not owned; replaced by every apply).
    // Set at every load of the set (an open) while the bus's callbacks may read it: interlocked.
    void m_SetParameters(CCvUVcpUserModeInterface* pParameters)
    {
        InterlockedExchangePointer((PVOID volatile*)&m_pParameters, pParameters);
    }
    CCvUVcpUserModeInterface* m_GetParameters()
    {
        return (CCvUVcpUserModeInterface*)ReadPointerAcquire((PVOID const volatile*)&m_pParameters);
    }

    // The device has left: a disconnect from now on drops what is still to be sent instead of
    // waiting for a transmitter that can no longer report.
    void m_SetDeviceRemoved() { InterlockedExchange(&m_lDeviceRemoved, TRUE); }

    // State for the control codes and WMI.
    BOOLEAN m_IsConnected() const { return ReadNoFence(&m_lConnected) != FALSE; }
    // The next connect converts the parameter set's settings into the port's, as the first does.
    void m_TakeSettingsAtNextConnect() { m_bFirstConnectDone = FALSE; }
    ULONG m_GetBaudRate() const { return m_ulBaudRate; }
    void m_GetLineControl(PSERIAL_LINE_CONTROL pLineControl) const;
    void m_GetChars(PSERIAL_CHARS pChars);
    void m_GetHandFlow(PSERIAL_HANDFLOW pHandFlow);
    void m_GetTimeouts(PSERIAL_TIMEOUTS pTimeouts) const { *pTimeouts = m_Timeouts; }
    void m_GetStatistics(PSERIALPERF_STATS pStats);
    void m_ClearStatistics();
    UCHAR m_GetModemControl();
    ULONG m_GetLsrImage() { return m_Read32(&m_lLsr); }
    ULONG m_GetMsrImage() { return m_Read32(&m_lMsr); }
    ULONG m_GetTransmitHoldBits();
    ULONG m_GetReceiveHoldBits();
    ULONG m_GetReceiveQueueSize() const { return m_ulRxQueueSize; }
    ULONG m_GetLastReceiveDuration() const { return m_ulLastReceiveDuration; }
    // Error abort is pending: SERIAL_ERROR_ABORT with an error word set.
    BOOLEAN m_IsErrorAbortPending();
    ULONG m_GetOutQueueAmount();

protected:
    static LONG m_Read32(LONG volatile* plWord) { return InterlockedCompareExchange(plWord, 0, 0); }
    // The handshake's words and the special characters, each read under m_SettingsLock.
    ULONG m_GetControlHandShake();
    ULONG m_GetFlowReplace();
    void m_StoreHandFlow(const SERIAL_HANDFLOW* pHandFlow);
    void m_StoreChars(const SERIAL_CHARS* pChars);
    CTfControlQueue* m_GetControlQueue();
    CTfReadQueue* m_GetReadQueue();
    CTfWriteQueue* m_GetWriteQueue();
    // Posting events and resolving the held wait.
    void m_SetCommEventsReceived(ULONG ulEvents);
    BOOLEAN m_IsInWaitMask(ULONG ulEvents);
    // ISerial with the "No ISerial interface" line of the calling method.
    ISerial* m_ISerialFor(const char* pszMethod);
    BOOLEAN m_HaveParameters(const char* pszMethod);

    // Open and close helpers (vcp.cpp).
    void m_SettingsFromParameters();
    static BOOLEAN sm_HandshakeFromFlowControl(ULONG ulFlowControl, PULONG pulControl, PULONG pulReplace);
    void m_ResetLimits();
    void m_ReopenQueues(NTSTATUS RejectStatus = STATUS_CANCELLED);
    void m_StopQueues();
    void m_ClearSharedWords();
    void m_WaitForTransmitter(ISerial* pISerial);
    BOOLEAN m_IsTransmitterIdle();
    BOOLEAN m_SendHandFlowAtOpen();
    ULONG m_ProbeRates(ULONG ulMinimum, ULONG ulMaximum);
    BOOLEAN m_WidenBounds(ULONG ulMask, PULONG pulMinimum, PULONG pulMaximum);

    // Setting helpers (vcpsettings.cpp).
    NTSTATUS m_ValidateHandFlow(const SERIAL_HANDFLOW* pHandFlow);
    NTSTATUS m_SendHandshaking();
    NTSTATUS m_SetupHandFlowSignal();
    // CTS, DSR and DCD holds from the handshake and the modem lines.
    void m_UpdateTransmitHolds(ULONG ulMsr);
    NTSTATUS m_EepromAccess(BOOLEAN bWrite, ULONG ulStart, ULONG ulLength, PUCHAR pucData);
    NTSTATUS m_DriveLine(BOOLEAN bDtr, BOOLEAN bOn);
    BOOLEAN m_ApplyTriggerLevels(BOOLEAN bFifoOn);
    void m_SetWorkingLimits();

    // Out-queue amount (vcpwrite.cpp).
    void m_AddOutQueue(ULONG ulBytes, BOOLEAN bImmediate);
    void m_ClearOutQueue();
    void m_TakeBackOutQueue(ULONG ulBytes);
    // Takes back a byte counted for an immediate character whose send failed, only while the flag
    // still says it is outstanding.
    void m_UndoImmediate();

    // Receive helpers (vcpreceive.cpp).
    BOOLEAN m_FilterChunk(CTfBuffer* pBuffer);
    BOOLEAN m_ApplyLineErrors(CTfBuffer* pBuffer);
    void m_DeliverCharacters(const UCHAR* pucData, ULONG ulLength);
    void m_ErrorAbort();
    void m_ReleaseReceiveFlowControl();
    static void sm_ExecutionOnDispatchLevelQueueOverflow(PVOID pContext, PVOID pArgument);
    void m_ExecutionOnDispatchLevelQueueOverflow();
    static void sm_ExecutionReleaseFlowControl(PVOID pContext, PVOID pArgument);
    static void sm_ExecutionErrorAbort(PVOID pContext, PVOID pArgument);

    CCvUVcpUserModeInterface* m_pParameters;
    // Interlocked: connect and disconnect write it (the port driver lets only one of close and
    // removal disconnect); the transmitter check and the set's apply read it with ReadNoFence.
    volatile LONG m_lConnected;
    // Interlocked: removal sets it while a close may be waiting for the transmitter.
    volatile LONG m_lDeviceRemoved;
    BOOLEAN m_bFirstConnectDone;
    ULONG m_ulBaudRate;
    UCHAR m_ucStopBits;
    UCHAR m_ucParity;
    UCHAR m_ucWordLength;
    // Under m_SettingsLock.
    CTfSpinLock m_SettingsLock;
    SERIAL_HANDFLOW m_HandFlow;
    SERIAL_CHARS m_Chars;
    SERIAL_TIMEOUTS m_Timeouts;
    ULONG m_ulRxQueueSize;
    ULONG m_ulDefaultRxQueueSize;
    ULONG m_ul80PercentMark;
    ULONG m_ulWorkingXonLimit;
    ULONG m_ulWorkingXoffLimit;
    // Statistics (SERIALPERF_STATS order), changed by interlocked additions.
    LONG volatile m_lReceivedCount;
    LONG volatile m_lTransmittedCount;
    LONG volatile m_lFrameErrorCount;
    LONG volatile m_lSerialOverrunErrorCount;
    LONG volatile m_lBufferOverrunErrorCount;
    LONG volatile m_lParityErrorCount;
    ULONG m_ulLastReceiveDuration;
    LONG volatile m_lModemControl;  // DTR 1, RTS 2
    LONG volatile m_lLoopback;
    LONG volatile m_lRxOverflow;
    // Under m_OutQueueLock.
    CTfSpinLock m_OutQueueLock;
    ULONG m_ulOutQueue;
    BOOLEAN m_bImmediatePending;
    PIRP m_pWaitWakeIrp;
    UCHAR m_ucSavedRxTriggerLevel;
    // Interlocked words.
    LONG volatile m_lLsr;
    LONG volatile m_lMsr;
    LONG volatile m_lCtsHold;
    LONG volatile m_lDsrHold;
    LONG volatile m_lDcdHold;
    LONG volatile m_lBreakHold;
    LONG volatile m_lXonHold;
    LONG volatile m_lDtrDropped;
    LONG volatile m_lRxWaitsForDsr;
    LONG volatile m_lRtsDropped;
    LONG volatile m_lXoffSent;
    LONG volatile m_lErrorsA;
    LONG volatile m_lErrorsB;
    LONG volatile m_lEscapeChar;
    // Counts the releases of receive flow control; a flow-control request queued before a release
    // is stale when it runs.
    LONG volatile m_lReleaseSequence;
    CTfPassiveLevelExecutor* m_pExecutionOnPassiveLevel;
};
