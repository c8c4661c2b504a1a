// A test double of the bus driver's port object: serves one ISerial record whose operations record
// every call ("Name args") and answer as the test scripts them, and through which the test raises
// the port driver's callbacks.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cviserial.h"

namespace portdrvtest {

struct FakePortOptions {
    UCHAR duplex = 0;
    ULONG supportedBaudRates = ISERIAL_SUPPORTED_BAUD_UNKNOWN;
    UCHAR lsrMst = 0;
    UCHAR eepromRead = 0;
    UCHAR eepromWrite = 0;
    ULONG maximumBaudRate = 1000000;  // the baud check accepts rates up to it
    ULONG initialCredit = 4096;       // reported by connect, as the bus does
    bool confirmWrites = true;        // confirm each written block from inside the write
};

class CFakeSerialPort : public CSerialPortProvider {
public:
    explicit CFakeSerialPort(const FakePortOptions& options) : m_options(options) {}

    ISerial* Build(ULONG version);

    // The calls so far ("SetDtr 1", "Write 3", ...), and those whose name starts with a prefix.
    std::vector<std::string> Calls();
    std::vector<std::string> CallsOf(const std::string& name);
    void ClearCalls();
    // An operation that answers FALSE from now on (true) or again TRUE (false).
    void Fail(const std::string& name, bool fail = true);
    std::vector<uint8_t> Written();
    // The calls made above PASSIVE_LEVEL (the bus's operations block, so there must be none).
    std::vector<std::string> CallsAbovePassive();

    // The callbacks, as the bus raises them.
    bool Receive(const std::vector<uint8_t>& bytes);
    bool LineStatus(bool overrun, bool parity, bool framing, bool brk, bool dataReady, bool thre, bool temt);
    bool ModemStatus(bool cts, bool dsr, bool ri, bool teri, bool dcd);
    bool DataWritten(ULONG count) { return m_InvokeDataWritten(count) != FALSE; }
    ULONG ReceiveRoom(ULONG justReceived, ULONG fifoAllowance);

    BOOLEAN m_ConnectCallback() override;
    BOOLEAN m_DisconnectCallback() override { return Note("Disconnect"); }
    BOOLEAN m_PortWriteCallback(CTfBuffer* pBuffer) override;
    BOOLEAN m_RtsCallback(BOOLEAN bSet) override { return Note("SetRts", bSet); }
    BOOLEAN m_DtrCallback(BOOLEAN bSet) override { return Note("SetDtr", bSet); }
    BOOLEAN m_CommSettingsCallback(UCHAR d, UCHAR p, UCHAR s) override { return Note("CommSettings", d, p, s); }
    BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) override { return Note("SetBaudRate", ulBaudRate); }
    BOOLEAN m_TriggerLevelsCallback(UCHAR t, UCHAR r, UCHAR f) override { return Note("TriggerLevels", t, r, f); }
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut, BOOLEAN bDtrIn,
                                          BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOut,
                                          BOOLEAN bXonXoffIn, BOOLEAN bContinue, BOOLEAN bNull, BOOLEAN bError,
                                          BOOLEAN bBreak) override;
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN bOn) override { return Note("Loopback", bOn); }
    BOOLEAN m_DuplexModeSettingsCallback(ULONG ulMode, BOOLEAN bCtsTrue) override { return Note("Duplex", ulMode, bCtsTrue); }
    BOOLEAN m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData) override;
    BOOLEAN m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData) override;
    BOOLEAN m_SetBreakCallback(BOOLEAN bOn) override { return Note("SetBreak", bOn); }
    BOOLEAN m_PurgeCallback(BOOLEAN bTx, BOOLEAN bRx) override { return Note("Purge", bTx, bRx); }
    BOOLEAN m_IsBaudRateSettableCallback(ULONG ulBaudRate) override;
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR b, UCHAR eof, UCHAR err, UCHAR ev, UCHAR xon, UCHAR xoff) override
    {
        return Note("SpecialChars", b, eof, err, ev, xon, xoff);
    }
    BOOLEAN m_LsrMstInsertionCallback(UCHAR ucEscape) override { return Note("LsrMst", ucEscape); }
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoff) override { return Note("PretendXoff", bXoff); }
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter) override;
    BOOLEAN m_GetFifoSizesCallback(PULONG pulTx, PULONG pulRx) override;
    BOOLEAN m_GetModemStatusCallback() override { return Note("GetModemStatus"); }
    BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff) override { return Note("SendXonXoff", bXoff); }
    BOOLEAN m_GetMaximumBaudRateCallback(PULONG pulBaudRate) override;

private:
    template <typename... T>
    BOOLEAN Note(const char* name, T... values)
    {
        std::string call = name;
        ((call += " " + std::to_string(static_cast<unsigned long>(values))), ...);
        bool above = KeGetCurrentIrql() > PASSIVE_LEVEL;
        std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
        if (above) m_aboveCalls.push_back(call);
        return m_failing.count(name) ? FALSE : TRUE;
    }

    FakePortOptions m_options;
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::map<std::string, bool> m_failing;
    std::vector<uint8_t> m_written;
    std::vector<std::string> m_aboveCalls;
};

}  // namespace portdrvtest
