// Serial control requests of the communications calls, sent and waited for on any handle.
#include "comm_requests.h"

#include <optional>

namespace emu::win32 {

namespace {

// An event of the call's own, closed when the call ends.
class CallEvent {
public:
    CallEvent()
    {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
        m_status = NtCreateEvent(&m_handle, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
    }
    ~CallEvent()
    {
        if (m_handle) NtClose(m_handle);
    }
    CallEvent(const CallEvent&) = delete;
    CallEvent& operator=(const CallEvent&) = delete;

    NTSTATUS Status() const { return m_status; }
    HANDLE Handle() const { return m_handle; }

private:
    HANDLE m_handle = nullptr;
    NTSTATUS m_status;
};

}  // namespace

SerialAnswer SerialControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength)
{
    // A synchronous handle's request is waited for by the I/O manager; an overlapped handle's is
    // waited for here, on the call's own event.
    std::optional<CallEvent> event;
    if (Win32Subsystem::Current().IsOverlappedHandle(handle)) {
        event.emplace();
        if (!NT_SUCCESS(event->Status())) return {event->Status(), 0};
    }
    IO_STATUS_BLOCK block{};
    NTSTATUS status = NtDeviceIoControlFile(handle, event ? event->Handle() : nullptr, nullptr, nullptr, &block, code,
                                            const_cast<void*>(input), inputLength, output, outputLength);
    if (status == STATUS_PENDING && event) {
        status = NtWaitForSingleObject(event->Handle(), FALSE, nullptr);
        if (NT_SUCCESS(status)) status = block.Status;
    }
    // A request that failed at once leaves the status block alone.
    return {status, NT_ERROR(status) ? 0 : block.Information};
}

BOOL SerialQuery(HANDLE handle, ULONG code, void* output, ULONG outputLength)
{
    if (!output) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Answer(SerialControl(handle, code, nullptr, 0, output, outputLength).status);
}

BOOL SerialCommand(HANDLE handle, ULONG code) { return Answer(SerialControl(handle, code).status); }

BOOL SerialCommandWith(HANDLE handle, ULONG code, ULONG value)
{
    return Answer(SerialControl(handle, code, &value, sizeof(value)).status);
}

}  // namespace emu::win32
