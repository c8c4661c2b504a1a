// A serial port for kernel32 tests: a test driver's device that answers the IOCTL_SERIAL_* codes
// as a serial driver does, with settings it keeps (baud rate, line control, characters,
// handshake, time-outs, wait mask, status, properties), one open at a time, and a record of every
// control request (code, input bytes, output length) in the order they came.
//
// Reads are answered from the data the test gives (SupplyReadData) and pended when there is none;
// waits on the mask are answered from the events the test raises (RaiseEvents) and pended when
// none of them is in the mask. A test completes pended requests with CompleteRead and
// CompleteWait, or lets kernel32 cancel them; the next request of a code can be made to fail
// with a status (FailNext). Writes complete at once, or pend while HoldWrites is on.
#pragma once

#include <ntddser.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "test_driver.h"

namespace emu::testing {

class SerialTestPort {
public:
    struct ControlRequest {
        ULONG code;
        std::vector<uint8_t> input;
        ULONG outputLength;
    };

    // The settings and status the port answers with; the test may read and change them.
    struct State {
        SERIAL_BAUD_RATE baud{9600};
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
        SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 512, 128};
        SERIAL_TIMEOUTS timeouts{};
        SERIAL_QUEUE_SIZE queueSize{};
        ULONG waitMask = 0;
        ULONG modemStatus = 0;
        SERIAL_STATUS status{};
        SERIAL_COMMPROP properties{};
        ULONG configSize = 0;
        ULONG dtrRts = 0;
        bool breakOn = false;
        std::vector<uint8_t> written;    // every byte written, in order
        std::vector<uint8_t> immediate;  // every IOCTL_SERIAL_IMMEDIATE_CHAR byte
    };

    // Makes the device "\Device\<deviceName>" and the link (e.g. "\??\COM5") to it.
    explicit SerialTestPort(std::u16string link = u"\\??\\COM5", std::u16string deviceName = u"SerialTest0");
    ~SerialTestPort();
    SerialTestPort(const SerialTestPort&) = delete;
    SerialTestPort& operator=(const SerialTestPort&) = delete;

    PDEVICE_OBJECT Device() const { return m_device; }

    // ---- Settings and the record -------------------------------------------------------------------
    State Snapshot() const;
    template <typename Change>
    void Modify(Change change)
    {
        std::lock_guard lock(m_mutex);
        change(m_state);
    }
    std::vector<ControlRequest> Requests() const;
    std::vector<ULONG> Codes() const;
    void ClearRecord();
    // The next control request with `code` completes with `status` and changes nothing.
    void FailNext(ULONG code, NTSTATUS status);

    // ---- Data and events ---------------------------------------------------------------------------------
    void SupplyReadData(const std::vector<uint8_t>& data);
    void RaiseEvents(ULONG events);
    void HoldWrites(bool hold);

    // ---- Pended requests -----------------------------------------------------------------------------
    size_t HeldCount(UCHAR major) const;
    // Completes the oldest held read with these bytes (false when no read was held).
    bool CompleteRead(const std::vector<uint8_t>& data, NTSTATUS status = STATUS_SUCCESS);
    // Completes the held wait on the mask with these events.
    bool CompleteWait(ULONG events);
    // Completes the oldest held write with all its bytes written.
    bool CompleteWrite();

private:
    struct Held {
        PIRP irp;
        UCHAR major;
        PFILE_OBJECT file;
    };

    NTSTATUS Create(PIRP irp);
    NTSTATUS Cleanup(PIRP irp);
    NTSTATUS Read(PIRP irp);
    NTSTATUS Write(PIRP irp);
    NTSTATUS Control(PIRP irp);
    NTSTATUS Answer(PIRP irp, ULONG code, ULONG_PTR* information);
    NTSTATUS SetOrGet(PIRP irp, ULONG code, ULONG_PTR* information, bool* handled);
    NTSTATUS Command(ULONG code, const uint8_t* input, ULONG inputLength, bool* handled);
    NTSTATUS WaitOnMask(PIRP irp, ULONG_PTR* information);
    void Purge(ULONG flags);

    // Pends an IRP, cancellable; the caller holds m_mutex.
    NTSTATUS HoldLocked(PIRP irp, UCHAR major);
    // Takes the oldest held IRP of `major` (of any file when `file` is null) out of the list.
    PIRP TakeLocked(UCHAR major, PFILE_OBJECT file = nullptr);
    // Completes every held IRP of `major` (of `file`, or of any) as cancelled.
    void CancelHeld(UCHAR major, PFILE_OBJECT file);
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    TestDriver m_driver;
    std::u16string m_link;
    PDEVICE_OBJECT m_device = nullptr;

    mutable std::mutex m_mutex;  // guards what follows
    State m_state;
    PFILE_OBJECT m_openFile = nullptr;
    std::vector<ControlRequest> m_record;
    std::map<ULONG, NTSTATUS> m_failNext;
    std::deque<uint8_t> m_readData;
    ULONG m_raisedEvents = 0;
    bool m_holdWrites = false;
    std::deque<Held> m_held;
};

}  // namespace emu::testing
