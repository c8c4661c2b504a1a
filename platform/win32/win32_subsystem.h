// User-mode Win32 subsystem of the emulated machine: the process that kernel32's calls run in.
//
// kernel32 works as kernelbase does on Windows: it checks its arguments, maps Win32 handles and
// paths to what the native system services take (ntifs.h), keeps the OVERLAPPED's Internal and
// InternalHigh as the requests' status block, and turns an NTSTATUS into the thread's last error.
// The I/O manager does the rest: file objects, IRPs, completion to user mode. The calls run in the
// calling thread at PASSIVE_LEVEL, as an application's would.
#pragma once

#include <ntifs.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace emu {

class Kernel;

class Win32Subsystem final {
public:
    // Makes the directory named objects live in, as the session manager does.
    explicit Win32Subsystem(Kernel& kernel);
    // The process ends: the kernel closes the handles user mode left open (CLEANUP, then CLOSE
    // once their requests are done) and cancels the requests still pending.
    ~Win32Subsystem();
    Win32Subsystem(const Win32Subsystem&) = delete;
    Win32Subsystem& operator=(const Win32Subsystem&) = delete;

    // The subsystem of the running machine, for the kernel32 calls.
    static Win32Subsystem& Current();
    static Win32Subsystem* TryCurrent();

    // Tells this machine's last-error values from an earlier machine's.
    uint64_t Serial() const { return m_serial; }

    // ---- Handles opened for overlapped I/O (FILE_FLAG_OVERLAPPED) ------------------------------
    void AddOverlappedHandle(HANDLE handle);
    bool IsOverlappedHandle(HANDLE handle) const;
    void ForgetHandle(HANDLE handle);

private:
    Kernel& m_kernel;
    uint64_t m_serial;
    mutable std::mutex m_mutex;  // guards what follows
    std::set<HANDLE> m_overlapped;
};

namespace win32 {

// SetLastError with the Win32 error of an NTSTATUS.
void SetLastNtError(NTSTATUS status);
// A call's answer to its caller: TRUE for a success status, else FALSE with the status's error.
BOOL Answer(NTSTATUS status);
// An ANSI string as the machine's single-byte code page reads it: each byte is one character.
std::u16string FromAnsi(const char* text);
// Machine identity stored beside each thread's last error.
uint64_t CurrentSerial();
// The handle an OVERLAPPED's hEvent names: its low bit only asks for no completion-port packet.
HANDLE EventOf(const OVERLAPPED* overlapped);

}  // namespace win32

}  // namespace emu
