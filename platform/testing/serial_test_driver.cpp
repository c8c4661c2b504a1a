#include "serial_test_driver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "machine.h"

namespace emu::testing {

namespace {

UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<PWCH>(text.data());
    counted.Length = counted.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return counted;
}

// A setting the port keeps, with the codes that set and read it (0: none).
struct Setting {
    ULONG set;
    ULONG get;
    ULONG size;
    void* (*field)(SerialTestPort::State&);
};

const Setting kSettings[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE),
     [](SerialTestPort::State& s) -> void* { return &s.baud; }},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL),
     [](SerialTestPort::State& s) -> void* { return &s.line; }},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS),
     [](SerialTestPort::State& s) -> void* { return &s.chars; }},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW),
     [](SerialTestPort::State& s) -> void* { return &s.handflow; }},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS),
     [](SerialTestPort::State& s) -> void* { return &s.timeouts; }},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, sizeof(SERIAL_QUEUE_SIZE),
     [](SerialTestPort::State& s) -> void* { return &s.queueSize; }},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG),
     [](SerialTestPort::State& s) -> void* { return &s.waitMask; }},
    {0, IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG), [](SerialTestPort::State& s) -> void* { return &s.modemStatus; }},
    {0, IOCTL_SERIAL_GET_PROPERTIES, sizeof(SERIAL_COMMPROP),
     [](SerialTestPort::State& s) -> void* { return &s.properties; }},
    {0, IOCTL_SERIAL_CONFIG_SIZE, sizeof(ULONG), [](SerialTestPort::State& s) -> void* { return &s.configSize; }},
    {0, IOCTL_SERIAL_GET_DTRRTS, sizeof(ULONG), [](SerialTestPort::State& s) -> void* { return &s.dtrRts; }},
};

void CompleteAll(std::vector<std::pair<PIRP, NTSTATUS>>& done)
{
    for (auto& [irp, status] : done) TestDriver::Complete(irp, status, 0);
}

}  // namespace

SerialTestPort::SerialTestPort(std::u16string link, std::u16string deviceName)
    : m_driver(deviceName), m_link(std::move(link))
{
    TestDriver::DeviceOptions options;
    options.name = u"\\Device\\" + deviceName;
    options.type = FILE_DEVICE_SERIAL_PORT;
    m_device = m_driver.CreateDevice(options);
    m_device->Flags |= DO_BUFFERED_IO;
    m_device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING linkName = Counted(m_link);
    UNICODE_STRING target = Counted(options.name);
    IoCreateSymbolicLink(&linkName, &target);

    SERIAL_COMMPROP& properties = m_state.properties;
    properties.PacketLength = sizeof(SERIAL_COMMPROP);
    properties.PacketVersion = 2;
    properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    properties.MaxBaud = SERIAL_BAUD_USER;
    properties.ProvSubType = SERIAL_SP_RS232;
    properties.ProvCapabilities = 0xFF;
    properties.SettableParams = 0x7F;
    properties.SettableBaud = 0x1007FFFF;
    properties.SettableData = 0xF;
    properties.SettableStopParity = 0x1F07;
    properties.CurrentRxQueue = 4096;

    m_driver.SetDispatch(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) { return Create(irp); });
    m_driver.SetDispatch(IRP_MJ_CLEANUP, [this](PDEVICE_OBJECT, PIRP irp) { return Cleanup(irp); });
    m_driver.SetDispatch(IRP_MJ_CLOSE, [this](PDEVICE_OBJECT, PIRP irp) {
        {
            std::lock_guard lock(m_mutex);
            if (m_openFile == IoGetCurrentIrpStackLocation(irp)->FileObject) m_openFile = nullptr;
        }
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    m_driver.SetDispatch(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) { return Read(irp); });
    m_driver.SetDispatch(IRP_MJ_WRITE, [this](PDEVICE_OBJECT, PIRP irp) { return Write(irp); });
    m_driver.SetDispatch(IRP_MJ_FLUSH_BUFFERS,
                         [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return Control(irp); });
}

SerialTestPort::~SerialTestPort()
{
    if (!Machine::TryCurrent()) return;  // the machine took its links and devices with it
    UNICODE_STRING linkName = Counted(m_link);
    IoDeleteSymbolicLink(&linkName);
}

// ---- The test's side -------------------------------------------------------------------------------

SerialTestPort::State SerialTestPort::Snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

std::vector<SerialTestPort::ControlRequest> SerialTestPort::Requests() const
{
    std::lock_guard lock(m_mutex);
    return m_record;
}

std::vector<ULONG> SerialTestPort::Codes() const
{
    std::lock_guard lock(m_mutex);
    std::vector<ULONG> codes;
    for (const ControlRequest& request : m_record) codes.push_back(request.code);
    return codes;
}

void SerialTestPort::ClearRecord()
{
    std::lock_guard lock(m_mutex);
    m_record.clear();
}

void SerialTestPort::FailNext(ULONG code, NTSTATUS status)
{
    std::lock_guard lock(m_mutex);
    m_failNext[code] = status;
}

void SerialTestPort::SupplyReadData(const std::vector<uint8_t>& data)
{
    std::lock_guard lock(m_mutex);
    m_readData.insert(m_readData.end(), data.begin(), data.end());
}

void SerialTestPort::RaiseEvents(ULONG events)
{
    PIRP wait = nullptr;
    ULONG reported = 0;
    {
        std::lock_guard lock(m_mutex);
        m_raisedEvents |= events;
        reported = m_raisedEvents & m_state.waitMask;
        if (reported == 0 || !(wait = TakeLocked(IRP_MJ_DEVICE_CONTROL))) return;
        m_raisedEvents &= ~reported;
    }
    std::memcpy(wait->AssociatedIrp.SystemBuffer, &reported, sizeof(reported));
    TestDriver::Complete(wait, STATUS_SUCCESS, sizeof(reported));
}

void SerialTestPort::HoldWrites(bool hold)
{
    std::lock_guard lock(m_mutex);
    m_holdWrites = hold;
}

size_t SerialTestPort::HeldCount(UCHAR major) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_held.begin(), m_held.end(), [major](const Held& held) { return held.major == major; }));
}

bool SerialTestPort::CompleteRead(const std::vector<uint8_t>& data, NTSTATUS status)
{
    PIRP irp;
    {
        std::lock_guard lock(m_mutex);
        irp = TakeLocked(IRP_MJ_READ);
    }
    if (!irp) return false;
    const size_t length = std::min<size_t>(data.size(), IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    if (length) std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), length);
    TestDriver::Complete(irp, status, length);
    return true;
}

bool SerialTestPort::CompleteWait(ULONG events)
{
    PIRP irp;
    {
        std::lock_guard lock(m_mutex);
        irp = TakeLocked(IRP_MJ_DEVICE_CONTROL);
    }
    if (!irp) return false;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &events, sizeof(events));
    TestDriver::Complete(irp, STATUS_SUCCESS, sizeof(events));
    return true;
}

bool SerialTestPort::CompleteWrite()
{
    PIRP irp;
    {
        std::lock_guard lock(m_mutex);
        irp = TakeLocked(IRP_MJ_WRITE);
    }
    if (!irp) return false;
    TestDriver::Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
    return true;
}

// ---- Held requests ---------------------------------------------------------------------------------

NTSTATUS SerialTestPort::HoldLocked(PIRP irp, UCHAR major)
{
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    m_held.push_back({irp, major, IoGetCurrentIrpStackLocation(irp)->FileObject});
    IoSetCancelRoutine(irp, &SerialTestPort::CancelRoutine);
    return STATUS_PENDING;
}

PIRP SerialTestPort::TakeLocked(UCHAR major, PFILE_OBJECT file)
{
    for (auto it = m_held.begin(); it != m_held.end(); ++it) {
        if (it->major != major || (file && it->file != file)) continue;
        // An IRP whose cancel routine already runs is its routine's to complete.
        if (!IoSetCancelRoutine(it->irp, nullptr)) continue;
        PIRP irp = it->irp;
        m_held.erase(it);
        return irp;
    }
    return nullptr;
}

void SerialTestPort::CancelHeld(UCHAR major, PFILE_OBJECT file)
{
    std::vector<std::pair<PIRP, NTSTATUS>> cancelled;
    {
        std::lock_guard lock(m_mutex);
        while (PIRP irp = TakeLocked(major, file)) cancelled.emplace_back(irp, STATUS_CANCELLED);
    }
    CompleteAll(cancelled);
}

void SerialTestPort::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* port = static_cast<SerialTestPort*>(irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard lock(port->m_mutex);
        port->m_held.erase(std::remove_if(port->m_held.begin(), port->m_held.end(),
                                          [irp](const Held& held) { return held.irp == irp; }),
                           port->m_held.end());
    }
    TestDriver::Complete(irp, STATUS_CANCELLED);
}

// ---- Dispatch --------------------------------------------------------------------------------------

NTSTATUS SerialTestPort::Create(PIRP irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(m_mutex);
        if (m_openFile) status = STATUS_ACCESS_DENIED;
        else m_openFile = IoGetCurrentIrpStackLocation(irp)->FileObject;
    }
    return TestDriver::Complete(irp, status);
}

NTSTATUS SerialTestPort::Cleanup(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) CancelHeld(major, file);
    return TestDriver::Complete(irp, STATUS_SUCCESS);
}

NTSTATUS SerialTestPort::Read(PIRP irp)
{
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    size_t taken = 0;
    {
        std::lock_guard lock(m_mutex);
        if (length != 0 && m_readData.empty()) return HoldLocked(irp, IRP_MJ_READ);
        auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        for (; taken < length && !m_readData.empty(); ++taken) {
            buffer[taken] = m_readData.front();
            m_readData.pop_front();
        }
    }
    return TestDriver::Complete(irp, STATUS_SUCCESS, taken);
}

NTSTATUS SerialTestPort::Write(PIRP irp)
{
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    {
        std::lock_guard lock(m_mutex);
        const auto* bytes = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        if (length) m_state.written.insert(m_state.written.end(), bytes, bytes + length);
        if (m_holdWrites && length != 0) return HoldLocked(irp, IRP_MJ_WRITE);
    }
    return TestDriver::Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS SerialTestPort::Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const auto* input = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    {
        std::lock_guard lock(m_mutex);
        m_record.push_back({code, std::vector<uint8_t>(input, input + (input ? inputLength : 0)),
                            stack->Parameters.DeviceIoControl.OutputBufferLength});
        auto failure = m_failNext.find(code);
        if (failure != m_failNext.end()) {
            const NTSTATUS status = failure->second;
            m_failNext.erase(failure);
            return TestDriver::Complete(irp, status);
        }
    }
    // A new mask ends the wait in progress with no events.
    if (code == IOCTL_SERIAL_SET_WAIT_MASK) {
        {
            std::lock_guard lock(m_mutex);
            m_raisedEvents = 0;
        }
        CompleteWait(0);
    }
    if (code == IOCTL_SERIAL_PURGE && inputLength >= sizeof(ULONG)) {
        ULONG flags;
        std::memcpy(&flags, input, sizeof(flags));
        if (flags != 0 && (flags & ~0xFu) == 0) Purge(flags);
    }
    ULONG_PTR information = 0;
    const NTSTATUS status = Answer(irp, code, &information);
    if (status == STATUS_PENDING) return status;
    return TestDriver::Complete(irp, status, information);
}

NTSTATUS SerialTestPort::Answer(PIRP irp, ULONG code, ULONG_PTR* information)
{
    if (code == IOCTL_SERIAL_WAIT_ON_MASK) return WaitOnMask(irp, information);
    bool handled = false;
    const NTSTATUS status = SetOrGet(irp, code, information, &handled);
    if (handled) return status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return Command(code, static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                   stack->Parameters.DeviceIoControl.InputBufferLength, &handled);
}

NTSTATUS SerialTestPort::SetOrGet(PIRP irp, ULONG code, ULONG_PTR* information, bool* handled)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    for (const Setting& setting : kSettings) {
        if (code != setting.set && code != setting.get) continue;
        *handled = true;
        const bool set = code == setting.set;
        const ULONG length = set ? stack->Parameters.DeviceIoControl.InputBufferLength
                                 : stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (length < setting.size) return STATUS_BUFFER_TOO_SMALL;
        std::lock_guard lock(m_mutex);
        void* field = setting.field(m_state);
        if (set) {
            std::memcpy(field, irp->AssociatedIrp.SystemBuffer, setting.size);
            return STATUS_SUCCESS;
        }
        std::memcpy(irp->AssociatedIrp.SystemBuffer, field, setting.size);
        *information = setting.size;
        return STATUS_SUCCESS;
    }
    if (code != IOCTL_SERIAL_GET_COMMSTATUS) return STATUS_SUCCESS;
    *handled = true;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_STATUS)) return STATUS_BUFFER_TOO_SMALL;
    std::lock_guard lock(m_mutex);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &m_state.status, sizeof(SERIAL_STATUS));
    m_state.status.Errors = 0;  // read and cleared
    *information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

NTSTATUS SerialTestPort::Command(ULONG code, const uint8_t* input, ULONG inputLength, bool* handled)
{
    *handled = true;
    std::lock_guard lock(m_mutex);
    switch (code) {
    case IOCTL_SERIAL_SET_DTR: m_state.dtrRts |= SERIAL_DTR_STATE; return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_DTR: m_state.dtrRts &= ~SERIAL_DTR_STATE; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS: m_state.dtrRts |= SERIAL_RTS_STATE; return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLR_RTS: m_state.dtrRts &= ~SERIAL_RTS_STATE; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_ON: m_state.breakOn = true; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_OFF: m_state.breakOn = false; return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_RESET_DEVICE: return STATUS_SUCCESS;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (inputLength < 1) return STATUS_BUFFER_TOO_SMALL;
        m_state.immediate.push_back(input[0]);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
        if (inputLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        ULONG flags;
        std::memcpy(&flags, input, sizeof(flags));
        return flags != 0 && (flags & ~0xFu) == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    default: return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS SerialTestPort::WaitOnMask(PIRP irp, ULONG_PTR* information)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    std::lock_guard lock(m_mutex);
    const bool waiting = std::any_of(m_held.begin(), m_held.end(),
                                     [](const Held& held) { return held.major == IRP_MJ_DEVICE_CONTROL; });
    if (m_state.waitMask == 0 || waiting) return STATUS_INVALID_PARAMETER;
    const ULONG events = m_raisedEvents & m_state.waitMask;
    if (events == 0) return HoldLocked(irp, IRP_MJ_DEVICE_CONTROL);
    m_raisedEvents &= ~events;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &events, sizeof(events));
    *information = sizeof(events);
    return STATUS_SUCCESS;
}

void SerialTestPort::Purge(ULONG flags)
{
    if (flags & SERIAL_PURGE_TXABORT) CancelHeld(IRP_MJ_WRITE, nullptr);
    if (flags & SERIAL_PURGE_RXABORT) CancelHeld(IRP_MJ_READ, nullptr);
    if (flags & SERIAL_PURGE_RXCLEAR) {
        std::lock_guard lock(m_mutex);
        m_readData.clear();
    }
}

}  // namespace emu::testing
