// A test client that plays the COM port driver on an FTDI port's ISerial record: it writes its
// callbacks into the record, records every call with the IRQL it came at, keeps the data it was
// handed in order, and answers the receive-room question with a room the test sets.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cviserial.h"

namespace enumdrvtest {

struct StatusCall {
    uint8_t bits = 0;  // line: OE 0x02 PE 0x04 FE 0x08 BI 0x10 DR 0x01 THRE 0x20 TEMT 0x40 FIFO 0x80;
                       // modem: CTS 0x10 DSR 0x20 RI 0x40 TERI 0x04 DCD 0x80
    KIRQL irql = PASSIVE_LEVEL;
};

class PortClient {
public:
    explicit PortClient(ISerial* pISerial);
    ~PortClient();

    ISerial* Record() const { return m_pISerial; }
    CSerialPortProvider* Owner() const { return m_pISerial->m_pOwner; }
    const ISERIAL_OPERATIONS& Ops() const { return m_pISerial->m_Operations; }

    // Hands bytes to the write operation (op 3) in a new buffer object.
    BOOLEAN Write(const std::vector<uint8_t>& bytes);

    // Snapshots.
    std::vector<uint8_t> Received();
    std::vector<StatusCall> LineCalls();
    std::vector<StatusCall> ModemCalls();
    std::vector<ULONG> WrittenCalls();
    ULONG WrittenTotal();
    size_t XoffSentCalls();
    size_t ImmediateCalls();
    size_t ReadCalls();
    bool AllPassive();  // data, status and write reports all came at PASSIVE_LEVEL
    void SetRoom(ULONG room);
    void Clear();

    // Waits (real time, bounded) until the predicate over the client holds.
    bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound = std::chrono::seconds(10));
    std::mutex& Mutex() { return m_mutex; }

private:
    static BOOLEAN sm_Read(PVOID pContext, CTfBuffer* pBuffer);
    static BOOLEAN sm_LineStatus(PVOID pContext, BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                 BOOLEAN bDataReady, BOOLEAN bThre, BOOLEAN bTemt, BOOLEAN bFifoError);
    static BOOLEAN sm_ModemStatus(PVOID pContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bTeri,
                                  BOOLEAN bDcd);
    static BOOLEAN sm_DataWritten(PVOID pContext, ULONG ulCount);
    static BOOLEAN sm_Immediate(PVOID pContext);
    static BOOLEAN sm_XoffSent(PVOID pContext, BOOLEAN bFlag);
    static BOOLEAN sm_Room(PVOID pContext, ULONG ulJustReceived, ULONG ulAllowance, PULONG pulAvailable);
    void Note(bool passive);

    ISerial* m_pISerial;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<uint8_t> m_received;
    std::vector<StatusCall> m_line;
    std::vector<StatusCall> m_modem;
    std::vector<ULONG> m_written;
    size_t m_xoffSent = 0;
    size_t m_immediate = 0;
    size_t m_reads = 0;
    bool m_allPassive = true;
    ULONG m_room = 1u << 20;
};

}  // namespace enumdrvtest
