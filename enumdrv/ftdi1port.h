// The bus driver's object for one serial port of an FTDI USB-UART chip: it serves the ISerial
// operations over the port's USB transport (vendor requests on the control pipe, the bulk pipes
// for data), turns the chip's bulk IN packets into data and status for the port driver, sends the
// port driver's data from a write thread of its own, and paces the port driver's write reports as
// a UART's transmit FIFO would at 57600 baud and below.
//
// Files: ftdi1port.cpp (construction, open, close), ftdi1portsettings.cpp (vendor requests and
// settings operations), ftdi1portpower.cpp (power save and
// restore), ftdi1portreceive.cpp (bulk IN), ftdi1portwrite.cpp (send list and write thread),
// ftdi1portfifo.cpp (latency policy and the FIFO emulation timer); ftdirates.cpp has the
// arithmetic.
//
// Threads: ISerial operations come from the port driver at PASSIVE_LEVEL (an operation that sends
// a USB request and is called above APC_LEVEL is deferred to the port's request executor); the
// bulk IN completion up to DISPATCH_LEVEL; the FIFO timer as a DPC. Data, status and deferred
// write reports reach the port driver at PASSIVE_LEVEL from the status executor, in the order
// they were queued. The port spin lock guards the send list, the transmitter hold and the FIFO
// counters; no USB request and no callback is made with it held.
#pragma once

#include <wdm.h>

#include "cviserial.h"
#include "enumdrvwmi.h"
#include "ftdirates.h"
#include "tfevent.h"
#include "tfpassivelevelexecutor.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"
#include "tfworkerthread.h"
#include "usbtransport.h"

class CCvUsbSamDriver;

// FTDI vendor requests.
#define FTDI_RESET 0
#define FTDI_MODEM_CTRL 1
#define FTDI_SET_FLOW_CTRL 2
#define FTDI_SET_BAUD_RATE 3
#define FTDI_SET_DATA 4
#define FTDI_GET_MODEM_STATUS 5
#define FTDI_SET_EVENT_CHAR 6
#define FTDI_SET_ERROR_CHAR 7
#define FTDI_SET_LATENCY_TIMER 9
#define FTDI_READ_LATENCY_TIMER 10

// Flow word bits (wIndex of FTDI_SET_FLOW_CTRL) and the word that means "never set".
#define FTDI_FLOW_RTS_CTS 0x100
#define FTDI_FLOW_DTR_DSR 0x200
#define FTDI_FLOW_XON_XOFF 0x400
#define FTDI_FLOW_UNSET 0xFFFF

// Modem status bits (first status byte); bit 2 is the port's own trailing edge of RI.
#define FTDI_MSR_TERI 0x04
#define FTDI_MSR_CTS 0x10
#define FTDI_MSR_DSR 0x20
#define FTDI_MSR_RI 0x40
#define FTDI_MSR_DCD 0x80
// Line status bits (second status byte).
#define FTDI_LSR_THRE 0x20
#define FTDI_LSR_TEMT 0x40

// Highest rate whose write reports the FIFO emulation paces.
#define FTDI_EMULATION_MAXIMUM_RATE 57600
// Failed bulk transfers out that the write thread tries again by itself, one per back-off period.
#define FTDI_WRITE_RETRIES 8
// The write thread's back-off after a failed transfer, in 100 ns: 100 ms.
#define FTDI_WRITE_BACKOFF (-1000000LL)

// One queued write: a buffer for an endpoint (CV_TRANSPORT_DEFAULT_ENDPOINT: the write pipe).
struct CFtdiSendEntry : public CTfObjectBase {
    CFtdiSendEntry* pNext;
    CTfBuffer* pBuffer;
    UCHAR ucEndpoint;
};

class CFTDI1Port : public CSerialPortProvider {
public:
    CFTDI1Port(CCvUsbSamDriver* pBus, ULONG ulPortNumber);
    // Closes an open port (flushing the send list with reports), then frees everything.
    virtual ~CFTDI1Port();

    // Device power D0, the executors, then the USB transport for the bus device's PDO (read
    // handle 1, write handle 2). PASSIVE_LEVEL; the caller holds no lock of the bus device.
    virtual BOOLEAN m_Init();
    // Closes an open port and deletes the transport. PASSIVE_LEVEL.
    virtual BOOLEAN m_DeInit();

    // The 24 operations (EEPROM access is the base's).
    virtual BOOLEAN m_ConnectCallback();
    virtual BOOLEAN m_DisconnectCallback();
    virtual BOOLEAN m_PortWriteCallback(CTfBuffer* pBuffer);
    virtual BOOLEAN m_RtsCallback(BOOLEAN bSet);
    virtual BOOLEAN m_DtrCallback(BOOLEAN bSet);
    virtual BOOLEAN m_CommSettingsCallback(UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode);
    virtual BOOLEAN m_BaudrateCallback(ULONG ulBaudRate);
    virtual BOOLEAN m_TriggerLevelsCallback(UCHAR ucTxLevel, UCHAR ucRxLevel, UCHAR ucFlowControlLevel);
    virtual BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut, BOOLEAN bDtrIn,
                                                  BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                                  BOOLEAN bXonXoffIn, BOOLEAN bContinueAfterXoffSent,
                                                  BOOLEAN bNullStripping, BOOLEAN bErrorCharacter,
                                                  BOOLEAN bBreakCharacter);
    virtual BOOLEAN m_InternalLoopbackCallback(BOOLEAN bOn);
    virtual BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue);
    virtual BOOLEAN m_SetBreakCallback(BOOLEAN bOn);
    virtual BOOLEAN m_PurgeCallback(BOOLEAN bTx, BOOLEAN bRx);
    virtual BOOLEAN m_IsBaudRateSettableCallback(ULONG ulBaudRate);
    virtual BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                   UCHAR ucXon, UCHAR ucXoff);
    virtual BOOLEAN m_LsrMstInsertionCallback(UCHAR ucEscape);
    virtual BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoff);
    virtual BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter);
    virtual BOOLEAN m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize);
    virtual BOOLEAN m_GetModemStatusCallback();
    virtual BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff);
    virtual BOOLEAN m_GetMaximumBaudRateCallback(PULONG pulBaudRate);

    // Power save (before the bus device powers down, PASSIVE_LEVEL) and restore (after it powered
    // up, at any IRQL up to DISPATCH_LEVEL: the restore itself runs on the request executor).
    virtual BOOLEAN m_SaveDeviceState();
    virtual BOOLEAN m_RestoreDeviceState();

    BOOLEAN m_GetLatencyTimerValue(PULONG pulLatency);
    BOOLEAN m_SetRxTransferSize(ULONG ulSize);
    ULONG m_GetRxTransferSize() const { return m_ulRxTransferSize; }
    BOOLEAN m_SetTxTransferSize(ULONG ulSize);
    ULONG m_GetTxTransferSize() const { return m_ulTxTransferSize; }

    // The seven values the bus device pushes, in the order it pushes them.
    virtual BOOLEAN m_SetPolicyType(ULONG ulPolicyType);
    virtual BOOLEAN m_SetMaximumLatency(ULONG ulMaximumLatency);
    virtual BOOLEAN m_SetMaximumLatencyFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetLowCpuUsageFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetRxFifoSize(ULONG ulRxFifoSize);
    ULONG m_GetRxFifoSize() const { return m_ulRxFifoSize; }
    virtual BOOLEAN m_SetTxFifoSize(ULONG ulTxFifoSize);
    ULONG m_GetTxFifoSize() const { return m_ulTxFifoSize; }
    virtual BOOLEAN m_SetMaximumBaudRate(ULONG ulMaximumBaudRate);

    // WMI snapshots (blocks 0 and 2). Called with the bus device's port list locked.
    virtual void m_GetWmiTimings(PENUMDRV_WMI_TIMINGS pTimings);
    virtual void m_GetPortState(PENUMDRV_WMI_PORT_STATE pState);

    // The FTDI port's record: version 5, rates unknown (probe each), capabilities LSR/MST and
    // EEPROM none, modem lines all.
    ISerial* m_CreateInterface_ISerial(UCHAR ucDuplex);
    ULONG m_GetPortNumber() const { return m_ulPortNumber; }
    CUSBTransport* m_GetTransport() const { return m_pUSBTransport; }
    USHORT m_GetPortIndex() const { return m_usPortIndex; }

protected:
    // ---- Settings (ftdi1port.cpp) -------------------------------------------------------------
    BOOLEAN m_HasTransport(const char* pszOperation);
    BOOLEAN m_Request(UCHAR ucRequest, USHORT usValue, USHORT usIndex, const char* pszName);
    BOOLEAN m_SetDtr(BOOLEAN bSet);
    BOOLEAN m_SetRts(BOOLEAN bSet);
    // The modem-control word the chip was last sent: DTR 1, RTS 2, over the mask bits 0x0300.
    void m_UpdateModemControl(LONG lBit, BOOLEAN bSet);
    BOOLEAN m_SetDataWord(USHORT usWord);
    BOOLEAN m_SetSpecialChar(UCHAR ucRequest, const char* pszName, BOOLEAN bEnable, UCHAR ucCharacter,
                             PUSHORT pusWord);
    BOOLEAN m_SetErrorChar(BOOLEAN bEnable, UCHAR ucCharacter);
    BOOLEAN m_SetEventChar(BOOLEAN bEnable, UCHAR ucCharacter);
    BOOLEAN m_SetTransportLatency(ULONG ulLatency);
    BOOLEAN m_ProgramRate(ULONG ulBaudRate, const FTDI_BAUD_WORDS* pWords);
    BOOLEAN m_ChipHoldsRate(ULONG ulBaudRate);
    void m_ReadPortIndex();
    BOOLEAN m_IsDuplexCapable() const { return m_ucDuplex != 0; }
    ULONG m_GetDuplexMode() { return (ULONG)ReadNoFence(&m_lDuplexMode); }
    // Above APC_LEVEL an operation that sends a request is made later on the request executor.
    BOOLEAN m_MustDefer() const { return KeGetCurrentIrql() > APC_LEVEL; }
    BOOLEAN m_Defer(ULONG ulOperation, ULONG ulArgument);
    static void sm_DeferredOperation(PVOID pContext, PVOID pArgument);
    void m_WaitCharacterTimes(ULONG ulCount);

    // ---- Open, close, power (ftdi1port.cpp) -----------------------------------------------------
    BOOLEAN m_OpenSteps();
    void m_UnwindOpen(BOOLEAN bTransportUp);
    void m_ResetSessionState();
    void m_ClearSettings();
    BOOLEAN m_RestoreSteps();
    static void sm_RestoreWorkItem(PVOID pContext, PVOID pArgument);
    static void sm_FlowRestoreWorkItem(PVOID pContext, PVOID pArgument);
    void m_FlowRestore(LONG lSession);
    void m_DrainExecutor(CTfPassiveLevelExecutor* pExecutor);
    static void sm_SignalEvent(PVOID pContext, PVOID pArgument);

    // ---- Receive (ftdi1portreceive.cpp) ---------------------------------------------------------
    static BOOLEAN sm_DataArrived(PVOID pClient, CTfBuffer* pBuffer);
    BOOLEAN m_DataArrivedCallback(CTfBuffer* pBuffer);
    ULONG m_WalkPackets(CTfBuffer* pBuffer, PBOOLEAN pbStatusOnly);
    void m_TakeModemStatus(UCHAR ucModem);
    void m_TakeLineStatus(UCHAR ucLine, BOOLEAN bForce);
    void m_HoldFromModemLines(UCHAR ucModem);
    void m_ScanFlowCharacters(const UCHAR* pucData, ULONG ulLength);
    void m_SizeNextTransfer(ULONG ulReceived);
    static void sm_ExecutionOnPassiveLevelRead(PVOID pContext, PVOID pArgument);
    static void sm_DiscardRead(PVOID pContext, PVOID pArgument);
    void m_RestartReadIfSpace();
    BOOLEAN m_ReceiveFlowControlOn();
    void m_ResumeReceiveAfterRelease();
    static void sm_ResumeReceiveWorkItem(PVOID pContext, PVOID pArgument);
    void m_ResumeSuspendedReceive();
    BOOLEAN m_PollModemStatus();
    UCHAR m_ApplyTeri(UCHAR ucModem);
    void m_QueueModemStatusReport(UCHAR ucModem);
    void m_QueueLineStatusReport(UCHAR ucLine);
    static void sm_ModemStatusWorkItem(PVOID pContext, PVOID pArgument);
    static void sm_LineStatusWorkItem(PVOID pContext, PVOID pArgument);
    void m_ReportModemStatus(UCHAR ucModem);
    void m_ReportLineStatus(UCHAR ucLine);

    // ---- Write (ftdi1portwrite.cpp) -------------------------------------------------------------
    BOOLEAN m_SendData(CTfBuffer* pBuffer, UCHAR ucEndpoint, BOOLEAN bAtHead, BOOLEAN bAccount);
    void m_LinkEntry(CFtdiSendEntry* pEntry, BOOLEAN bAtHead);
    void m_SetTxHold(BOOLEAN bRelease);
    void m_SetTxHoldLocked(BOOLEAN bRelease);
    BOOLEAN m_HandshakeReleasesLocked();
    void m_UpdateTxHoldFromHandshake();
    void m_ReportDataSent(ULONG ulCount, BOOLEAN bFromWriter);
    void m_CallDataWritten(ULONG ulCount);
    static void sm_DataWrittenWorkItem(PVOID pContext, PVOID pArgument);
    void m_FlushWriteList(BOOLEAN bReport);
    BOOLEAN m_StartWriteThread();
    void m_StopWriteThread();
    static void sm_WriteThread(PVOID pContext);
    BOOLEAN m_SendDataToDevice();
    CFtdiSendEntry* m_TakeJoinedEntry();
    // An immediate character: op 20 (bFromOperation: one data-written report per character it
    // accepts) or a flow character of op 23 and the power paths (never reported as data).
    BOOLEAN m_WriteCharacter(UCHAR ucCharacter, BOOLEAN bFromOperation);
    BOOLEAN m_SendCharacterNow(UCHAR ucCharacter, PBOOLEAN pbWritten);
    BOOLEAN m_IsFlowCharacter(UCHAR ucCharacter) const;

    // ---- Latency policy and FIFO emulation (ftdi1portfifo.cpp) ----------------------------------
    BOOLEAN m_SetLatencyAndRxTransferSize(ULONG ulBaudRate);
    void m_UpdateCharsPerMillisecond();
    ULONG m_TakeQueueCreditLocked(ULONG ulLength);
    ULONG m_AccountReportLocked(ULONG ulCount, BOOLEAN bFromWriter);
    void m_SetFiFoTransmissionEmulationTimer();
    void m_StopFiFoTransmissionEmulationTimer(BOOLEAN bForce);
    static KDEFERRED_ROUTINE sm_FiFoTransmissionEmulationTimerCallback;
    void m_FifoTick();
    static void sm_StopTimerWorkItem(PVOID pContext, PVOID pArgument);
    BOOLEAN m_EmulatesFifo() const { return m_ulBaudRate <= FTDI_EMULATION_MAXIMUM_RATE; }

    // ---- Identity and objects ---------------------------------------------------------------------
    CCvUsbSamDriver* m_pBus;
    ULONG m_ulPortNumber;
    CUSBTransport* m_pUSBTransport;
    USHORT m_usPortIndex;
    BOOLEAN m_bMultiInterface;
    UCHAR m_ucDuplex;
    volatile LONG m_lOpen;
    volatile LONG m_lOpening;  // set during open and close
    volatile LONG m_lSession;  // counts opens: a deferred restore belongs to one session
    volatile LONG m_lSaved;    // a power save was made and no restore has run since
    KEVENT m_SettleCancel;     // set by close: a restore waiting for the chip to settle gives up
    CTfPassiveLevelExecutor* m_pStatusExecutor;   // data, status and write reports, in order
    CTfPassiveLevelExecutor* m_pRequestExecutor;  // deferred operations and the power restore
    CTfWorkerThread m_WriteThread;
    KEVENT m_WriteWorkEvent;  // synchronization event the write thread waits on
    CTfSpinLock m_PortLock;
    KMUTEX m_ReceiveMutex;
    KMUTEX m_TransmitMutex;
    CTfEvent m_WriteDoneEvent;
    CTfReferenceGate m_TimerGate;      // admits the FIFO timer's callback
    CTfReferenceGate m_StopTimerGate;  // taken while a stop of the timer is queued

    // ---- Settings -----------------------------------------------------------------------------------
    ULONG m_ulBaudRate;        // the rate the port works with (115200 until one is set)
    ULONG m_ulProgrammedRate;  // the rate the chip is known to run at; 0: not known
    ULONG m_ulResetsAtProgram; // the transport's port resets when the chip was last programmed
    FTDI_BAUD_WORDS m_BaudWords;
    USHORT m_usDataWord;
    UCHAR m_ucDataBitsCode;
    UCHAR m_ucParityCode;
    UCHAR m_ucStopBitsCode;
    BOOLEAN m_bBreak;
    // Interlocked: DTR and RTS are set from the port driver's threads at once (a drop on its
    // executor, a release on a reader's thread); readers take it with ReadNoFence.
    volatile LONG m_lModemControl;
    USHORT m_usFlowIndex;
    UCHAR m_ucXon;
    UCHAR m_ucXoff;
    USHORT m_usErrorChar;
    USHORT m_usEventChar;
    // Set by the duplex-mode request, read by the receive path's DPC and the status poll.
    volatile LONG m_lDuplexMode;
    UCHAR m_ucTxTriggerLevel;
    UCHAR m_ucRxTriggerLevel;
    // Handshake flags and states.
    BOOLEAN m_bCtsOut;
    BOOLEAN m_bRtsIn;
    BOOLEAN m_bDsrOut;
    BOOLEAN m_bDtrIn;
    BOOLEAN m_bDsrSensitivity;
    BOOLEAN m_bRtsToggle;
    BOOLEAN m_bXonXoffOut;
    BOOLEAN m_bXonXoffIn;
    BOOLEAN m_bContinueAfterXoffSent;
    BOOLEAN m_bXoffReceived;  // under the port lock
    BOOLEAN m_bXoffSent;      // under the port lock
    volatile LONG m_lLastModemStatus;
    volatile LONG m_lLastLineStatus;
    BOOLEAN m_bStatusBaseline;  // the next status is a baseline: no edges reported
    ULONG m_ulLatency;
    ULONG m_ulRxTransferSize;
    ULONG m_ulTxTransferSize;
    // Pushed by the bus device.
    ULONG m_ulPolicyType;
    ULONG m_ulMaximumLatency;
    ULONG m_ulMaximumLatencyFineTuning;
    ULONG m_ulLowCpuUsageFineTuning;
    ULONG m_ulRxFifoSize;
    ULONG m_ulTxFifoSize;
    ULONG m_ulMaximumBaudRate;

    // ---- Receive --------------------------------------------------------------------------------------
    volatile LONG m_lDeliveries;  // queued deliveries not yet made
    CTfSpinLock m_SuspendLock;
    BOOLEAN m_bReceiveSuspended;  // under m_SuspendLock
    volatile LONG m_lDeliveryPending;
    volatile LONG m_lReceiving;   // deliveries reach the port driver only while set

    // ---- Write (under the port lock) -------------------------------------------------------------------
    CFtdiSendEntry* m_pSendHead;
    CFtdiSendEntry* m_pSendTail;
    ULONG m_ulQueuedBytes;
    BOOLEAN m_bTxHold;
    BOOLEAN m_bPowerHold;
    BOOLEAN m_bWriteInProgress;
    BOOLEAN m_bWriterWoken;   // the write event was set by a write or a release
    ULONG m_ulWriteFailures;  // failed transfers in a row

    // ---- FIFO emulation (under the port lock) -----------------------------------------------------------
    ULONGLONG m_ullCharTime;  // 100 ns
    ULONG m_ulCharsPerMs;
    BOOLEAN m_bEmulation;
    ULONG m_ulOutstanding;
    ULONG m_ulFifoLevel;
    ULONG m_ulEarlyCredit;
    ULONGLONG m_ullTimeRemainder;  // µs
    LARGE_INTEGER m_Stopwatch;
    KTIMER m_FifoTimer;
    KDPC m_FifoDpc;
    BOOLEAN m_bTimerRunning;
    BOOLEAN m_bTimerResolutionHeld;

    // ---- Counters (WMI) -----------------------------------------------------------------------------
    volatile LONG m_lBytesSent;
    volatile LONG m_lBytesReceived;
    ULONG m_ulParseTime;
    ULONG m_ulWorkItemDelay;
    ULONG m_ulDeliveryTime;

private:
    CFTDI1Port(const CFTDI1Port&) = delete;
    CFTDI1Port& operator=(const CFTDI1Port&) = delete;
};
