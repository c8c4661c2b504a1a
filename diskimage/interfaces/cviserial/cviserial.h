// The serial-port interface between the bus driver and the COM port driver.
//
// The bus driver serves each serial port of an adapter through one ISerial record: the COM port
// driver asks for it with IOCTL_CREATE_CVISERIAL, calls the port through the record's operations,
// is called back through the callbacks it writes into the record, and gives the record back with
// IOCTL_RELEASE_CVISERIAL. Both drivers are built from this header; the record's layout and the
// requests' lengths follow the pointer size of the build.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfobject.h"

// ---- Internal device-control requests (METHOD_BUFFERED, read and write access) --------------------

// In: CVISERIAL_CREATE_REQUEST (8 bytes). Out: CVISERIAL_CREATE_RESPONSE (one pointer).
#define IOCTL_CREATE_CVISERIAL 0x8006E004UL
// In: CVISERIAL_RELEASE_REQUEST. No output.
#define IOCTL_RELEASE_CVISERIAL 0x8006E008UL

static_assert(IOCTL_CREATE_CVISERIAL == (ULONG)CTL_CODE(0x8006, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
              "create request code");
static_assert(IOCTL_RELEASE_CVISERIAL == (ULONG)CTL_CODE(0x8006, 0x802, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
              "release request code");

// Interface version of the record this header describes.
#define ISERIAL_VERSION 5

// Supported-baud word meaning "unknown: probe each rate".
#define ISERIAL_SUPPORTED_BAUD_UNKNOWN 0xFFFFFFFFUL

class ISerial;
class CSerialPortProvider;

typedef struct _CVISERIAL_CREATE_REQUEST {
    ULONG ulVersion;     // the client's interface version (ISERIAL_VERSION)
    ULONG ulPortNumber;  // 1-based
} CVISERIAL_CREATE_REQUEST, *PCVISERIAL_CREATE_REQUEST;

typedef struct _CVISERIAL_CREATE_RESPONSE {
    ISerial* pISerial;
} CVISERIAL_CREATE_RESPONSE, *PCVISERIAL_CREATE_RESPONSE;

typedef struct _CVISERIAL_RELEASE_REQUEST {
    ULONG ulPortNumber;
    ISerial* pISerial;  // at its natural alignment; not examined by the bus driver
} CVISERIAL_RELEASE_REQUEST, *PCVISERIAL_RELEASE_REQUEST;

static_assert(sizeof(CVISERIAL_CREATE_REQUEST) == 8, "create request: version and port number");
static_assert(sizeof(CVISERIAL_CREATE_RESPONSE) == sizeof(void*), "create response: one pointer");
static_assert(sizeof(CVISERIAL_RELEASE_REQUEST) == 2 * sizeof(void*), "release request: number, padding, pointer");

// ---- Operations: plain functions whose first argument is the record's owner -----------------------

typedef BOOLEAN (*PISERIAL_OP_NONE)(CSerialPortProvider* pOwner);                    // 1, 2, 22
typedef BOOLEAN (*PISERIAL_OP_BUFFER)(CSerialPortProvider* pOwner, CTfBuffer* pBuffer);  // 3: ownership passes
typedef BOOLEAN (*PISERIAL_OP_FLAG)(CSerialPortProvider* pOwner, BOOLEAN bFlag);     // 4, 5, 10, 14, 19, 23
typedef BOOLEAN (*PISERIAL_OP_COMM_SETTINGS)(CSerialPortProvider* pOwner, UCHAR ucDataBitsCode, UCHAR ucParityCode,
                                             UCHAR ucStopBitsCode);                  // 6
typedef BOOLEAN (*PISERIAL_OP_RATE)(CSerialPortProvider* pOwner, ULONG ulBaudRate);  // 7, 16
typedef BOOLEAN (*PISERIAL_OP_TRIGGER_LEVELS)(CSerialPortProvider* pOwner, UCHAR ucTxLevel, UCHAR ucRxLevel,
                                              UCHAR ucFlowControlLevel);             // 8
typedef BOOLEAN (*PISERIAL_OP_HANDSHAKING)(CSerialPortProvider* pOwner, BOOLEAN bCtsOut, BOOLEAN bRtsIn,
                                           BOOLEAN bDsrOut, BOOLEAN bDtrIn, BOOLEAN bDsrSensitivity,
                                           BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut, BOOLEAN bXonXoffIn,
                                           BOOLEAN bContinueAfterXoffSent, BOOLEAN bNullStripping,
                                           BOOLEAN bErrorCharacter, BOOLEAN bBreakCharacter);  // 9
typedef BOOLEAN (*PISERIAL_OP_DUPLEX_MODE)(CSerialPortProvider* pOwner, ULONG ulDuplexMode, BOOLEAN bCtsTrue);  // 11
typedef BOOLEAN (*PISERIAL_OP_EEPROM)(CSerialPortProvider* pOwner, ULONG ulOffset, ULONG ulLength,
                                      PUCHAR pucData);                               // 12, 13
typedef BOOLEAN (*PISERIAL_OP_PURGE)(CSerialPortProvider* pOwner, BOOLEAN bTx, BOOLEAN bRx);  // 15
typedef BOOLEAN (*PISERIAL_OP_SPECIAL_CHARACTERS)(CSerialPortProvider* pOwner, UCHAR ucBreak, UCHAR ucEof,
                                                  UCHAR ucError, UCHAR ucEvent, UCHAR ucXon, UCHAR ucXoff);  // 17
typedef BOOLEAN (*PISERIAL_OP_CHARACTER)(CSerialPortProvider* pOwner, UCHAR ucCharacter);  // 18, 20
typedef BOOLEAN (*PISERIAL_OP_FIFO_SIZES)(CSerialPortProvider* pOwner, PULONG pulTxFifoSize,
                                          PULONG pulRxFifoSize);                     // 21
typedef BOOLEAN (*PISERIAL_OP_OUT_RATE)(CSerialPortProvider* pOwner, PULONG pulBaudRate);  // 24

// The 24 operations, in the record's order.
typedef struct _ISERIAL_OPERATIONS {
    PISERIAL_OP_NONE pConnect;                            // 1
    PISERIAL_OP_NONE pDisconnect;                         // 2
    PISERIAL_OP_BUFFER pWrite;                            // 3
    PISERIAL_OP_FLAG pSetRts;                             // 4
    PISERIAL_OP_FLAG pSetDtr;                             // 5
    PISERIAL_OP_COMM_SETTINGS pCommSettings;              // 6
    PISERIAL_OP_RATE pSetBaudRate;                        // 7
    PISERIAL_OP_TRIGGER_LEVELS pTriggerLevels;            // 8
    PISERIAL_OP_HANDSHAKING pHandshaking;                 // 9
    PISERIAL_OP_FLAG pInternalLoopback;                   // 10
    PISERIAL_OP_DUPLEX_MODE pDuplexMode;                  // 11, only on a duplex-capable port
    PISERIAL_OP_EEPROM pReadEeprom;                       // 12, only with EEPROM read
    PISERIAL_OP_EEPROM pWriteEeprom;                      // 13, only with EEPROM write
    PISERIAL_OP_FLAG pSetBreak;                           // 14
    PISERIAL_OP_PURGE pPurge;                             // 15
    PISERIAL_OP_RATE pIsBaudRateSettable;                 // 16
    PISERIAL_OP_SPECIAL_CHARACTERS pSpecialCharacters;    // 17
    PISERIAL_OP_CHARACTER pLsrMstInsertion;               // 18, only with LSR/MST insertion
    PISERIAL_OP_FLAG pPretendXoffReceived;                // 19
    PISERIAL_OP_CHARACTER pSendImmediateCharacter;        // 20
    PISERIAL_OP_FIFO_SIZES pGetFifoSizes;                 // 21
    PISERIAL_OP_NONE pGetModemStatus;                     // 22
    PISERIAL_OP_FLAG pSendXonXoff;                        // 23: TRUE sends Xoff
    PISERIAL_OP_OUT_RATE pGetMaximumBaudRate;             // 24
} ISERIAL_OPERATIONS, *PISERIAL_OPERATIONS;

#define ISERIAL_OPERATION_COUNT 24
static_assert(sizeof(ISERIAL_OPERATIONS) == ISERIAL_OPERATION_COUNT * sizeof(void*), "24 operation pointers");

// ---- Callbacks: written by the port driver, called with its context first ------------------------

typedef BOOLEAN (*PISERIAL_CB_READ)(PVOID pContext, CTfBuffer* pBuffer);  // 1: ownership passes
typedef BOOLEAN (*PISERIAL_CB_NONE)(PVOID pContext);                      // 2, 6
typedef BOOLEAN (*PISERIAL_CB_LINE_STATUS)(PVOID pContext, BOOLEAN bOverrun, BOOLEAN bParityError,
                                           BOOLEAN bFramingError, BOOLEAN bBreak, BOOLEAN bDataReady,
                                           BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError);  // 3
typedef BOOLEAN (*PISERIAL_CB_MODEM_STATUS)(PVOID pContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                            BOOLEAN bTeri, BOOLEAN bDcd);  // 4
typedef BOOLEAN (*PISERIAL_CB_COUNT)(PVOID pContext, ULONG ulCount);       // 5
typedef BOOLEAN (*PISERIAL_CB_FLAG)(PVOID pContext, BOOLEAN bFlag);        // 7, 8
typedef BOOLEAN (*PISERIAL_CB_RECEIVE_ROOM)(PVOID pContext, ULONG ulJustReceived, ULONG ulFifoAllowance,
                                            PULONG pulAvailable);  // 9

typedef struct _ISERIAL_CALLBACKS {
    PISERIAL_CB_READ pRead;                               // 1 m_Read
    PISERIAL_CB_NONE pReserved;                           // 2 never raised
    PISERIAL_CB_LINE_STATUS pLineStatus;                  // 3
    PISERIAL_CB_MODEM_STATUS pModemStatus;                // 4
    PISERIAL_CB_COUNT pDataWritten;                       // 5
    PISERIAL_CB_NONE pImmediateCharacterSent;             // 6
    PISERIAL_CB_FLAG pXoffHolding;                        // 7 never raised
    PISERIAL_CB_FLAG pXoffSent;                           // 8
    PISERIAL_CB_RECEIVE_ROOM pAvailableReceiveBufferSize; // 9
} ISERIAL_CALLBACKS, *PISERIAL_CALLBACKS;

#define ISERIAL_CALLBACK_COUNT 9
static_assert(sizeof(ISERIAL_CALLBACKS) == ISERIAL_CALLBACK_COUNT * sizeof(void*), "9 callback pointers");

// The nine capability bytes, in the record's order (1 = supported).
typedef struct _ISERIAL_CAPABILITIES {
    UCHAR ucLsrMstInsertion;
    UCHAR ucEepromRead;
    UCHAR ucEepromWrite;
    UCHAR ucCts;
    UCHAR ucRts;
    UCHAR ucDsr;
    UCHAR ucDtr;
    UCHAR ucDcd;
    UCHAR ucRi;
} ISERIAL_CAPABILITIES, *PISERIAL_CAPABILITIES;

static_assert(sizeof(ISERIAL_CAPABILITIES) == 9, "nine capability bytes");

// The record. Built and deleted by the bus driver's port object; the port driver writes only the
// context and the callbacks.
class ISerial : public CTfObjectBase {
public:
    // Owner and context null, duplex 0, supported-baud word unknown, capabilities 0, 0, 0 and six
    // ones, every operation and callback null.
    ISerial();
    virtual ~ISerial();

    CSerialPortProvider* m_pOwner;
    PVOID m_pContext;
    UCHAR m_ucDuplex;  // 1: an RS-422/485 port
    ULONG m_ulSupportedBaudRates;
    ISERIAL_CAPABILITIES m_Capabilities;
    ISERIAL_OPERATIONS m_Operations;
    ISERIAL_CALLBACKS m_Callbacks;

private:
    ISerial(const ISerial&) = delete;
    ISerial& operator=(const ISerial&) = delete;
};

// Base of a bus driver port object: builds the record, routes each operation to a virtual member
// and raises the port driver's callbacks. Kernel code of the bus driver; the port driver only uses
// the record.
class CSerialPortProvider : public CTfObject {
public:
    CSerialPortProvider();
    // Deletes the record.
    virtual ~CSerialPortProvider();

    virtual BOOLEAN m_Init();
    virtual BOOLEAN m_DeInit();
    // Builds the record (m_BuildISerial); the capability arguments come in the order LSR/MST,
    // EEPROM read, EEPROM write, CTS, RTS, DTR, DSR, DCD, RI.
    virtual ISerial* m_CreateInterface(ULONG ulVersion, UCHAR ucDuplex, ULONG ulSupportedBaudRates,
                                       UCHAR ucLsrMst, UCHAR ucEepromRead, UCHAR ucEepromWrite, UCHAR ucCts,
                                       UCHAR ucRts, UCHAR ucDtr, UCHAR ucDsr, UCHAR ucDcd, UCHAR ucRi);

    // The 24 operations, in the record's order.
    virtual BOOLEAN m_ConnectCallback() = 0;
    virtual BOOLEAN m_DisconnectCallback() = 0;
    virtual BOOLEAN m_PortWriteCallback(CTfBuffer* pBuffer) = 0;
    virtual BOOLEAN m_RtsCallback(BOOLEAN bSet) = 0;
    virtual BOOLEAN m_DtrCallback(BOOLEAN bSet) = 0;
    virtual BOOLEAN m_CommSettingsCallback(UCHAR ucDataBitsCode, UCHAR ucParityCode, UCHAR ucStopBitsCode) = 0;
    virtual BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) = 0;
    virtual BOOLEAN m_TriggerLevelsCallback(UCHAR ucTxLevel, UCHAR ucRxLevel, UCHAR ucFlowControlLevel) = 0;
    virtual BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut, BOOLEAN bDtrIn,
                                                  BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                                  BOOLEAN bXonXoffIn, BOOLEAN bContinueAfterXoffSent,
                                                  BOOLEAN bNullStripping, BOOLEAN bErrorCharacter,
                                                  BOOLEAN bBreakCharacter) = 0;
    virtual BOOLEAN m_InternalLoopbackCallback(BOOLEAN bOn) = 0;
    virtual BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) = 0;
    // No EEPROM access in the base: FALSE.
    virtual BOOLEAN m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData);
    virtual BOOLEAN m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData);
    virtual BOOLEAN m_SetBreakCallback(BOOLEAN bOn) = 0;
    virtual BOOLEAN m_PurgeCallback(BOOLEAN bTx, BOOLEAN bRx) = 0;
    virtual BOOLEAN m_IsBaudRateSettableCallback(ULONG ulBaudRate) = 0;
    virtual BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                   UCHAR ucXon, UCHAR ucXoff) = 0;
    virtual BOOLEAN m_LsrMstInsertionCallback(UCHAR ucEscape) = 0;
    virtual BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoff) = 0;
    virtual BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter) = 0;
    virtual BOOLEAN m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize) = 0;
    virtual BOOLEAN m_GetModemStatusCallback() = 0;
    virtual BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff) = 0;
    virtual BOOLEAN m_GetMaximumBaudRateCallback(PULONG pulBaudRate) = 0;

    // The record, built once per provider. Null (with an assertion report) when a record exists
    // already, for another version, or without memory.
    ISerial* m_BuildISerial(ULONG ulVersion, UCHAR ucDuplex, ULONG ulSupportedBaudRates, UCHAR ucLsrMst,
                            UCHAR ucEepromRead, UCHAR ucEepromWrite, UCHAR ucCts, UCHAR ucRts, UCHAR ucDtr,
                            UCHAR ucDsr, UCHAR ucDcd, UCHAR ucRi);
    // The record; null with an assertion report when none was built.
    ISerial* m_GetISerial();
    // The record without the report (callers that test for it themselves).
    ISerial* m_PeekISerial() const { return m_pISerial; }

    // Callback invokers. Each calls the port driver only when both the callback and the context
    // are set, and answers FALSE otherwise. The read invoker owns the buffer either way: a buffer
    // that cannot be handed over is freed.
    BOOLEAN m_InvokeRead(CTfBuffer* pBuffer);
    BOOLEAN m_InvokeLineStatus(BOOLEAN bOverrun, BOOLEAN bParityError, BOOLEAN bFramingError, BOOLEAN bBreak,
                               BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError);
    BOOLEAN m_InvokeModemStatus(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri, BOOLEAN bDcd);
    BOOLEAN m_InvokeDataWritten(ULONG ulCount);
    BOOLEAN m_InvokeImmediateCharacterSent();
    BOOLEAN m_InvokeXoffSent(BOOLEAN bXoffSent);
    BOOLEAN m_InvokeAvailableReceiveBufferSize(ULONG ulJustReceived, ULONG ulFifoAllowance, PULONG pulAvailable);

    // The operation table the record's operations are copied from.
    const ISERIAL_OPERATIONS* m_GetServerOperations() const { return &m_ServerOperations; }

private:
    CSerialPortProvider(const CSerialPortProvider&) = delete;
    CSerialPortProvider& operator=(const CSerialPortProvider&) = delete;

    // The record's callbacks, or null when the port driver has not written the context.
    PISERIAL_CALLBACKS m_GetCallbacks(PVOID* ppContext);
    void m_CopyOperations(ISerial* pISerial);

    // Operation trampolines.
    static BOOLEAN sm_Connect(CSerialPortProvider* pOwner);
    static BOOLEAN sm_Disconnect(CSerialPortProvider* pOwner);
    static BOOLEAN sm_Write(CSerialPortProvider* pOwner, CTfBuffer* pBuffer);
    static BOOLEAN sm_SetRts(CSerialPortProvider* pOwner, BOOLEAN bSet);
    static BOOLEAN sm_SetDtr(CSerialPortProvider* pOwner, BOOLEAN bSet);
    static BOOLEAN sm_CommSettings(CSerialPortProvider* pOwner, UCHAR ucDataBitsCode, UCHAR ucParityCode,
                                   UCHAR ucStopBitsCode);
    static BOOLEAN sm_SetBaudRate(CSerialPortProvider* pOwner, ULONG ulBaudRate);
    static BOOLEAN sm_TriggerLevels(CSerialPortProvider* pOwner, UCHAR ucTxLevel, UCHAR ucRxLevel,
                                    UCHAR ucFlowControlLevel);
    static BOOLEAN sm_Handshaking(CSerialPortProvider* pOwner, BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut,
                                  BOOLEAN bDtrIn, BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                  BOOLEAN bXonXoffIn, BOOLEAN bContinueAfterXoffSent, BOOLEAN bNullStripping,
                                  BOOLEAN bErrorCharacter, BOOLEAN bBreakCharacter);
    static BOOLEAN sm_InternalLoopback(CSerialPortProvider* pOwner, BOOLEAN bOn);
    static BOOLEAN sm_DuplexMode(CSerialPortProvider* pOwner, ULONG ulDuplexMode, BOOLEAN bCtsTrue);
    static BOOLEAN sm_ReadEeprom(CSerialPortProvider* pOwner, ULONG ulOffset, ULONG ulLength, PUCHAR pucData);
    static BOOLEAN sm_WriteEeprom(CSerialPortProvider* pOwner, ULONG ulOffset, ULONG ulLength, PUCHAR pucData);
    static BOOLEAN sm_SetBreak(CSerialPortProvider* pOwner, BOOLEAN bOn);
    static BOOLEAN sm_Purge(CSerialPortProvider* pOwner, BOOLEAN bTx, BOOLEAN bRx);
    static BOOLEAN sm_IsBaudRateSettable(CSerialPortProvider* pOwner, ULONG ulBaudRate);
    static BOOLEAN sm_SpecialCharacters(CSerialPortProvider* pOwner, UCHAR ucBreak, UCHAR ucEof, UCHAR ucError,
                                        UCHAR ucEvent, UCHAR ucXon, UCHAR ucXoff);
    static BOOLEAN sm_LsrMstInsertion(CSerialPortProvider* pOwner, UCHAR ucEscape);
    static BOOLEAN sm_PretendXoffReceived(CSerialPortProvider* pOwner, BOOLEAN bXoff);
    static BOOLEAN sm_SendImmediateCharacter(CSerialPortProvider* pOwner, UCHAR ucCharacter);
    static BOOLEAN sm_GetFifoSizes(CSerialPortProvider* pOwner, PULONG pulTxFifoSize, PULONG pulRxFifoSize);
    static BOOLEAN sm_GetModemStatus(CSerialPortProvider* pOwner);
    static BOOLEAN sm_SendXonXoff(CSerialPortProvider* pOwner, BOOLEAN bXoff);
    static BOOLEAN sm_GetMaximumBaudRate(CSerialPortProvider* pOwner, PULONG pulBaudRate);

    ISERIAL_OPERATIONS m_ServerOperations;
    ISerial* m_pISerial;
};
