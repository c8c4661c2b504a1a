// Events and waits of kernel32 on the kernel's event and wait services. A named event lives in
// "\BaseNamedObjects"; a file handle waits on its file object's event, a thread handle on its
// thread.
#include "win32_subsystem.h"

#include <string>

namespace emu::win32 {

namespace {

constexpr char16_t kNamedObjects[] = u"\\BaseNamedObjects\\";

HANDLE NewEvent(BOOL manualReset, BOOL initialState, const std::u16string* name)
{
    std::u16string fullName;
    UNICODE_STRING counted{};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    if (name) {
        if (name->find(u'\\') != std::u16string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        fullName = kNamedObjects + *name;
        counted.Buffer = fullName.data();
        counted.Length = counted.MaximumLength = static_cast<USHORT>(fullName.size() * sizeof(WCHAR));
        // Opening the event of that name: its state and type stay as they are.
        InitializeObjectAttributes(&attributes, &counted, OBJ_OPENIF, nullptr, nullptr);
    }
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateEvent(&handle, EVENT_ALL_ACCESS, &attributes,
                                    manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return nullptr;
    }
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace

}  // namespace emu::win32

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName)
{
    (void)lpEventAttributes;
    if (!lpName) return emu::win32::NewEvent(bManualReset, bInitialState, nullptr);
    std::u16string name(lpName);
    return emu::win32::NewEvent(bManualReset, bInitialState, &name);
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (!lpName) return emu::win32::NewEvent(bManualReset, bInitialState, nullptr);
    std::u16string name = emu::win32::FromAnsi(lpName);
    return emu::win32::NewEvent(bManualReset, bInitialState, &name);
}

extern "C" BOOL SetEvent(HANDLE hEvent) { return emu::win32::Answer(NtSetEvent(hEvent, nullptr)); }

extern "C" BOOL ResetEvent(HANDLE hEvent) { return emu::win32::Answer(NtResetEvent(hEvent, nullptr)); }

extern "C" DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    const NTSTATUS status = NtWaitForMultipleObjects(nCount, const_cast<HANDLE*>(lpHandles),
                                                     bWaitAll ? WaitAll : WaitAny, FALSE,
                                                     dwMilliseconds == INFINITE ? nullptr : &timeout);
    // The wait statuses are the wait results: WAIT_OBJECT_0 + n, WAIT_ABANDONED_0 + n, WAIT_TIMEOUT.
    const DWORD result = static_cast<DWORD>(status);
    if (result < nCount || (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + nCount) || result == WAIT_TIMEOUT)
        return result;
    emu::win32::SetLastNtError(status);
    return WAIT_FAILED;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
