#include "fake_serial_port.h"

#include <cstring>

namespace portdrvtest {

ISerial* CFakeSerialPort::Build(ULONG version)
{
    return m_CreateInterface(version, m_options.duplex, m_options.supportedBaudRates, m_options.lsrMst,
                             m_options.eepromRead, m_options.eepromWrite, 1, 1, 1, 1, 1, 1);
}

std::vector<std::string> CFakeSerialPort::Calls()
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> CFakeSerialPort::CallsOf(const std::string& name)
{
    std::vector<std::string> matching;
    for (const std::string& call : Calls()) {
        if (call.rfind(name, 0) == 0) matching.push_back(call);
    }
    return matching;
}

void CFakeSerialPort::ClearCalls()
{
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

void CFakeSerialPort::Fail(const std::string& name, bool fail)
{
    std::lock_guard lock(m_mutex);
    if (fail) {
        m_failing[name] = true;
    } else {
        m_failing.erase(name);
    }
}

std::vector<uint8_t> CFakeSerialPort::Written()
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

std::vector<std::string> CFakeSerialPort::CallsAbovePassive()
{
    std::lock_guard lock(m_mutex);
    return m_aboveCalls;
}

bool CFakeSerialPort::Receive(const std::vector<uint8_t>& bytes)
{
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    if (!bytes.empty()) pBuffer->m_Assign(bytes.data(), static_cast<ULONG>(bytes.size()));
    return m_InvokeRead(pBuffer) != FALSE;
}

bool CFakeSerialPort::LineStatus(bool overrun, bool parity, bool framing, bool brk, bool dataReady, bool thre,
                                 bool temt)
{
    return m_InvokeLineStatus(overrun, parity, framing, brk, dataReady, thre, temt, FALSE) != FALSE;
}

bool CFakeSerialPort::ModemStatus(bool cts, bool dsr, bool ri, bool teri, bool dcd)
{
    return m_InvokeModemStatus(cts, dsr, ri, teri, dcd) != FALSE;
}

ULONG CFakeSerialPort::ReceiveRoom(ULONG justReceived, ULONG fifoAllowance)
{
    ULONG room = 0xDEADBEEF;
    m_InvokeAvailableReceiveBufferSize(justReceived, fifoAllowance, &room);
    return room;
}

BOOLEAN CFakeSerialPort::m_ConnectCallback()
{
    if (!Note("Connect")) return FALSE;
    // As the bus does at open: the status poll and the first credit.
    m_InvokeLineStatus(FALSE, FALSE, FALSE, FALSE, FALSE, TRUE, TRUE, FALSE);
    if (m_options.initialCredit != 0) m_InvokeDataWritten(m_options.initialCredit);
    return TRUE;
}

BOOLEAN CFakeSerialPort::m_PortWriteCallback(CTfBuffer* pBuffer)
{
    ULONG length = pBuffer->m_GetLength();
    {
        std::lock_guard lock(m_mutex);
        m_written.insert(m_written.end(), pBuffer->m_GetBytes(), pBuffer->m_GetBytes() + length);
    }
    pBuffer->m_Delete();
    BOOLEAN ok = Note("Write", length);
    if (ok && m_options.confirmWrites) m_InvokeDataWritten(length);
    return ok;
}

BOOLEAN CFakeSerialPort::m_HandshakingSettingsCallback(BOOLEAN bCtsOut, BOOLEAN bRtsIn, BOOLEAN bDsrOut,
                                                       BOOLEAN bDtrIn, BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle,
                                                       BOOLEAN bXonXoffOut, BOOLEAN bXonXoffIn, BOOLEAN bContinue,
                                                       BOOLEAN bNull, BOOLEAN bError, BOOLEAN bBreak)
{
    std::string flags;
    for (BOOLEAN flag : {bCtsOut, bRtsIn, bDsrOut, bDtrIn, bDsrSensitivity, bRtsToggle, bXonXoffOut, bXonXoffIn,
                         bContinue, bNull, bError, bBreak}) {
        flags += flag ? '1' : '0';
    }
    std::lock_guard lock(m_mutex);
    m_calls.push_back("Handshaking " + flags);
    return m_failing.count("Handshaking") ? FALSE : TRUE;
}

BOOLEAN CFakeSerialPort::m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData)
{
    for (ULONG i = 0; i < ulLength; ++i) pucData[i] = static_cast<UCHAR>(ulOffset + i);
    return Note("ReadEeprom", ulOffset, ulLength);
}

BOOLEAN CFakeSerialPort::m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucData)
{
    return Note("WriteEeprom", ulOffset, ulLength, ulLength ? pucData[0] : 0);
}

BOOLEAN CFakeSerialPort::m_IsBaudRateSettableCallback(ULONG ulBaudRate)
{
    // Probed for every rate at each apply: not recorded.
    return ulBaudRate != 0 && ulBaudRate <= m_options.maximumBaudRate;
}

BOOLEAN CFakeSerialPort::m_SendImmediateCharacterCallback(UCHAR ucCharacter)
{
    BOOLEAN ok = Note("ImmediateChar", ucCharacter);
    // The bus confirms the byte whether or not it could be sent.
    m_InvokeDataWritten(1);
    return ok;
}

BOOLEAN CFakeSerialPort::m_GetFifoSizesCallback(PULONG pulTx, PULONG pulRx)
{
    *pulTx = 128;
    *pulRx = 256;
    return TRUE;
}

BOOLEAN CFakeSerialPort::m_GetMaximumBaudRateCallback(PULONG pulBaudRate)
{
    *pulBaudRate = m_options.maximumBaudRate;
    return TRUE;
}

}  // namespace portdrvtest
