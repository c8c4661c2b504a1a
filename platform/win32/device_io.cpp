// Device I/O of kernel32: ReadFile, WriteFile, DeviceIoControl, FlushFileBuffers,
// GetOverlappedResult(Ex), CancelIo and CancelIoEx on the I/O manager's services. An overlapped call
// hands the OVERLAPPED's Internal and InternalHigh over as the request's status block and its
// hEvent as the event; a synchronous call gives a status block of its own, and the service waits.
#include "win32_subsystem.h"

#include <atomic>
#include <functional>

namespace emu::win32 {

namespace {

// One request as the services take it: the event, the context and the status block.
using Service = std::function<NTSTATUS(HANDLE event, PVOID apcContext, PIO_STATUS_BLOCK status)>;

PIO_STATUS_BLOCK StatusBlockOf(LPOVERLAPPED overlapped) { return reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal); }

NTSTATUS InternalOf(LPOVERLAPPED overlapped)
{
    return static_cast<NTSTATUS>(
        static_cast<ULONG>(std::atomic_ref<ULONG_PTR>(overlapped->Internal).load(std::memory_order_acquire)));
}

// The answer of a call made with an OVERLAPPED: pending, done at once, or failed at once.
BOOL FinishOverlapped(NTSTATUS status, LPOVERLAPPED overlapped, LPDWORD bytes)
{
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (bytes && !NT_ERROR(status)) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    if (NT_SUCCESS(status)) return TRUE;
    SetLastNtError(status);
    return FALSE;
}

// The answer of a synchronous call: the services wait for the request themselves (a synchronous
// file's every request, and a flush on any file).
BOOL FinishSynchronous(NTSTATUS status, const IO_STATUS_BLOCK& block, LPDWORD bytes)
{
    if (bytes && !NT_ERROR(status)) *bytes = static_cast<DWORD>(block.Information);
    return Answer(status);
}

// The shape every transfer shares: the caller's count, and the OVERLAPPED set to pending before
// the request goes.
BOOL Transfer(HANDLE handle, LPDWORD bytes, LPOVERLAPPED overlapped, const Service& service)
{
    // A handle opened for overlapped I/O needs an OVERLAPPED; a synchronous call needs somewhere
    // to put the count.
    if ((!overlapped && Win32Subsystem::Current().IsOverlappedHandle(handle)) || (!overlapped && !bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytes) *bytes = 0;
    if (!overlapped) {
        IO_STATUS_BLOCK block{};
        return FinishSynchronous(service(nullptr, nullptr, &block), block, bytes);
    }
    overlapped->InternalHigh = 0;
    std::atomic_ref<ULONG_PTR>(overlapped->Internal)
        .store(static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)), std::memory_order_release);
    return FinishOverlapped(service(EventOf(overlapped), overlapped, StatusBlockOf(overlapped)), overlapped, bytes);
}

LARGE_INTEGER OffsetOf(const OVERLAPPED* overlapped)
{
    LARGE_INTEGER offset{};
    if (overlapped) offset.QuadPart = (LONGLONG{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    return offset;
}

}  // namespace

}  // namespace emu::win32

using emu::win32::Transfer;

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped)
{
    LARGE_INTEGER offset = emu::win32::OffsetOf(lpOverlapped);
    return Transfer(hFile, lpNumberOfBytesRead, lpOverlapped, [&](HANDLE event, PVOID context, PIO_STATUS_BLOCK block) {
        return NtReadFile(hFile, event, nullptr, context, block, lpBuffer, nNumberOfBytesToRead,
                          lpOverlapped ? &offset : nullptr, nullptr);
    });
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    LARGE_INTEGER offset = emu::win32::OffsetOf(lpOverlapped);
    return Transfer(hFile, lpNumberOfBytesWritten, lpOverlapped, [&](HANDLE event, PVOID context, PIO_STATUS_BLOCK block) {
        return NtWriteFile(hFile, event, nullptr, context, block, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                           lpOverlapped ? &offset : nullptr, nullptr);
    });
}

extern "C" BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                LPOVERLAPPED lpOverlapped)
{
    return Transfer(hDevice, lpBytesReturned, lpOverlapped, [&](HANDLE event, PVOID context, PIO_STATUS_BLOCK block) {
        return NtDeviceIoControlFile(hDevice, event, nullptr, context, block, dwIoControlCode, lpInBuffer,
                                     nInBufferSize, lpOutBuffer, nOutBufferSize);
    });
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile)
{
    IO_STATUS_BLOCK block{};
    return emu::win32::FinishSynchronous(NtFlushBuffersFile(hFile, &block), block, nullptr);
}

// Waits up to dwMilliseconds for the request; no user-mode APCs run on this machine, so an
// alertable wait ends the same way.
extern "C" BOOL GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                      DWORD dwMilliseconds, BOOL bAlertable)
{
    (void)bAlertable;
    if (!lpOverlapped || !lpNumberOfBytesTransferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (emu::win32::InternalOf(lpOverlapped) == STATUS_PENDING) {
        if (dwMilliseconds == 0) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The caller's event, or the file's own when the request had none.
        HANDLE waitOn = lpOverlapped->hEvent ? emu::win32::EventOf(lpOverlapped) : hFile;
        const DWORD waited = WaitForSingleObject(waitOn, dwMilliseconds);
        if (waited == WAIT_TIMEOUT) SetLastError(WAIT_TIMEOUT);
        if (waited != WAIT_OBJECT_0) return FALSE;
    }
    const NTSTATUS status = emu::win32::InternalOf(lpOverlapped);
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    return emu::win32::Answer(status);
}

extern "C" BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                    BOOL bWait)
{
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait ? INFINITE : 0, FALSE);
}

extern "C" BOOL CancelIo(HANDLE hFile)
{
    IO_STATUS_BLOCK block{};
    return emu::win32::Answer(NtCancelIoFile(hFile, &block));
}

extern "C" BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    IO_STATUS_BLOCK block{};
    return emu::win32::Answer(
        NtCancelIoFileEx(hFile, lpOverlapped ? emu::win32::StatusBlockOf(lpOverlapped) : nullptr, &block));
}
