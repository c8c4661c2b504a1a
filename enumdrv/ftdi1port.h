// STAND-IN for the FTDI port object. Only what the bus device and the ISerial requests use of a
// port is here: construction for a port number, m_Init (power, the USB transport), m_DeInit, the
// record (m_CreateInterface_ISerial), the seven pushed parameters, power save and restore, and the
// WMI snapshots. Every serial operation answers FALSE ("Not Implemented."). The port object proper
// (open, close, settings, receive path, write path, latency policies and FIFO emulation) replaces
// this class, keeping its constructor and the members named here.
#pragma once

#include <wdm.h>

#include "cviserial.h"
#include "enumdrvwmi.h"
#include "usbtransport.h"

class CCvUsbSamDriver;

class CFTDI1Port : public CSerialPortProvider {
public:
    CFTDI1Port(CCvUsbSamDriver* pBus, ULONG ulPortNumber);
    // Deletes the transport.
    virtual ~CFTDI1Port();

    // Device power D0, then the USB transport for the bus device's PDO (read handle 1, write
    // handle 2). PASSIVE_LEVEL; the caller holds no lock of the bus device.
    virtual BOOLEAN m_Init();
    // Deletes the transport. PASSIVE_LEVEL.
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

    // Power save (before the bus device powers down) and restore (after it powered up).
    virtual BOOLEAN m_SaveDeviceState();
    virtual BOOLEAN m_RestoreDeviceState();

    // The seven values the bus device pushes, in the order it pushes them.
    virtual BOOLEAN m_SetPolicyType(ULONG ulPolicyType);
    virtual BOOLEAN m_SetMaximumLatency(ULONG ulMaximumLatency);
    virtual BOOLEAN m_SetMaximumLatencyFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetLowCpuUsageFineTuning(ULONG ulFineTuning);
    virtual BOOLEAN m_SetRxFifoSize(ULONG ulRxFifoSize);
    virtual BOOLEAN m_SetTxFifoSize(ULONG ulTxFifoSize);
    virtual BOOLEAN m_SetMaximumBaudRate(ULONG ulMaximumBaudRate);

    // WMI snapshots (blocks 0 and 2). Called with the bus device's port list locked.
    virtual void m_GetWmiTimings(PENUMDRV_WMI_TIMINGS pTimings);
    virtual void m_GetPortState(PENUMDRV_WMI_PORT_STATE pState);

    // The FTDI port's record: version 5, rates unknown (probe each), capabilities LSR/MST and
    // EEPROM none, modem lines all.
    ISerial* m_CreateInterface_ISerial(UCHAR ucDuplex);
    ULONG m_GetPortNumber() const { return m_ulPortNumber; }
    CUSBTransport* m_GetTransport() const { return m_pUSBTransport; }

protected:
    BOOLEAN m_NotImplemented(const char* pszOperation);

    CCvUsbSamDriver* m_pBus;
    ULONG m_ulPortNumber;
    CUSBTransport* m_pUSBTransport;
    // Pushed by the bus device.
    ULONG m_ulPolicyType;
    ULONG m_ulMaximumLatency;
    ULONG m_ulMaximumLatencyFineTuning;
    ULONG m_ulLowCpuUsageFineTuning;
    ULONG m_ulRxFifoSize;
    ULONG m_ulTxFifoSize;
    ULONG m_ulMaximumBaudRate;

private:
    CFTDI1Port(const CFTDI1Port&) = delete;
    CFTDI1Port& operator=(const CFTDI1Port&) = delete;
};
