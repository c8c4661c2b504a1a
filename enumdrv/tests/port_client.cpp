// The test client of an FTDI port's ISerial record (see port_client.h).
#include "port_client.h"

#include <numeric>

#include "tfbuffer.h"

namespace enumdrvtest {

namespace {
PortClient* Self(PVOID pContext) { return static_cast<PortClient*>(pContext); }
uint8_t Bit(BOOLEAN b, uint8_t bit) { return b ? bit : 0; }
}  // namespace

PortClient::PortClient(ISerial* pISerial) : m_pISerial(pISerial)
{
    ISERIAL_CALLBACKS& callbacks = pISerial->m_Callbacks;
    callbacks.pRead = sm_Read;
    callbacks.pLineStatus = sm_LineStatus;
    callbacks.pModemStatus = sm_ModemStatus;
    callbacks.pDataWritten = sm_DataWritten;
    callbacks.pImmediateCharacterSent = sm_Immediate;
    callbacks.pXoffSent = sm_XoffSent;
    callbacks.pAvailableReceiveBufferSize = sm_Room;
    pISerial->m_pContext = this;
}

PortClient::~PortClient()
{
    m_pISerial->m_pContext = nullptr;
}

BOOLEAN PortClient::Write(const std::vector<uint8_t>& bytes)
{
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    if (pBuffer == nullptr || !pBuffer->m_Assign(bytes.data(), static_cast<ULONG>(bytes.size()))) return FALSE;
    return Ops().pWrite(Owner(), pBuffer);
}

void PortClient::Note(bool passive)
{
    if (!passive) m_allPassive = false;
    m_changed.notify_all();
}

BOOLEAN PortClient::sm_Read(PVOID pContext, CTfBuffer* pBuffer)
{
    PortClient* self = Self(pContext);
    bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    {
        std::lock_guard lock(self->m_mutex);
        self->m_received.insert(self->m_received.end(), pBuffer->m_GetBytes(),
                                pBuffer->m_GetBytes() + pBuffer->m_GetLength());
        ++self->m_reads;
        self->Note(passive);
    }
    pBuffer->m_Delete();
    return TRUE;
}

BOOLEAN PortClient::sm_LineStatus(PVOID pContext, BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                  BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError)
{
    PortClient* self = Self(pContext);
    StatusCall call;
    call.bits = Bit(bOverrun, 0x02) | Bit(bParity, 0x04) | Bit(bFraming, 0x08) | Bit(bBreak, 0x10) |
                Bit(bDataReady, 0x01) | Bit(bThre, 0x20) | Bit(bTemt, 0x40) | Bit(bFifoError, 0x80);
    call.irql = KeGetCurrentIrql();
    std::lock_guard lock(self->m_mutex);
    self->m_line.push_back(call);
    self->Note(call.irql == PASSIVE_LEVEL);
    return TRUE;
}

BOOLEAN PortClient::sm_ModemStatus(PVOID pContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri,
                                   BOOLEAN bDcd)
{
    PortClient* self = Self(pContext);
    StatusCall call;
    call.bits = Bit(bCts, 0x10) | Bit(bDsr, 0x20) | Bit(bRi, 0x40) | Bit(bTeri, 0x04) | Bit(bDcd, 0x80);
    call.irql = KeGetCurrentIrql();
    std::lock_guard lock(self->m_mutex);
    self->m_modem.push_back(call);
    self->Note(call.irql == PASSIVE_LEVEL);
    return TRUE;
}

BOOLEAN PortClient::sm_DataWritten(PVOID pContext, ULONG ulCount)
{
    PortClient* self = Self(pContext);
    bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    std::lock_guard lock(self->m_mutex);
    self->m_written.push_back(ulCount);
    self->Note(passive);
    return TRUE;
}

BOOLEAN PortClient::sm_Immediate(PVOID pContext)
{
    PortClient* self = Self(pContext);
    std::lock_guard lock(self->m_mutex);
    ++self->m_immediate;
    self->Note(true);
    return TRUE;
}

BOOLEAN PortClient::sm_XoffSent(PVOID pContext, BOOLEAN bFlag)
{
    PortClient* self = Self(pContext);
    std::lock_guard lock(self->m_mutex);
    ++self->m_xoffSent;
    self->Note(true);
    return TRUE;
}

BOOLEAN PortClient::sm_Room(PVOID pContext, ULONG ulJustReceived, ULONG ulAllowance, PULONG pulAvailable)
{
    PortClient* self = Self(pContext);
    std::lock_guard lock(self->m_mutex);
    *pulAvailable = self->m_room;
    return TRUE;
}

std::vector<uint8_t> PortClient::Received()
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::vector<StatusCall> PortClient::LineCalls()
{
    std::lock_guard lock(m_mutex);
    return m_line;
}

std::vector<StatusCall> PortClient::ModemCalls()
{
    std::lock_guard lock(m_mutex);
    return m_modem;
}

std::vector<ULONG> PortClient::WrittenCalls()
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

ULONG PortClient::WrittenTotal()
{
    std::lock_guard lock(m_mutex);
    return std::accumulate(m_written.begin(), m_written.end(), 0u);
}

size_t PortClient::XoffSentCalls()
{
    std::lock_guard lock(m_mutex);
    return m_xoffSent;
}

size_t PortClient::ImmediateCalls()
{
    std::lock_guard lock(m_mutex);
    return m_immediate;
}

size_t PortClient::ReadCalls()
{
    std::lock_guard lock(m_mutex);
    return m_reads;
}

bool PortClient::AllPassive()
{
    std::lock_guard lock(m_mutex);
    return m_allPassive;
}

void PortClient::SetRoom(ULONG room)
{
    std::lock_guard lock(m_mutex);
    m_room = room;
}

void PortClient::Clear()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
    m_line.clear();
    m_modem.clear();
    m_written.clear();
    m_xoffSent = m_immediate = m_reads = 0;
}

bool PortClient::WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound)
{
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (predicate()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(m_mutex);
        m_changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)));
    }
}

}  // namespace enumdrvtest
