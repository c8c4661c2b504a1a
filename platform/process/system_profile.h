// What a program can learn about the system it runs on: the version it reports, the processor
// architecture (a 64-bit system runs 32-bit programs under WOW64), the Windows directory and the
// switches a test uses to make the version queries fail. One profile per machine; the defaults
// follow the kernel's Windows version (Windows 7 and 10 are 64-bit systems, the others 32-bit).
#pragma once

#include <sysinfoapi.h>

#include <memory>
#include <mutex>
#include <string>

namespace emu::process {

class Program;

enum class Architecture { X86, X64 };

struct VersionAnswer {
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD major = 6;
    DWORD minor = 1;
    DWORD build = 7601;
    std::u16string servicePack;
    bool operator==(const VersionAnswer&) const = default;
};

// Version presets beyond the kernel's list (NT 4.0, Vista) are set with SetVersion.
namespace versions {
inline const VersionAnswer kWindows95{VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950, u""};
inline const VersionAnswer kWindows98{VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998, u""};
inline const VersionAnswer kWindowsMe{VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000, u""};
inline const VersionAnswer kWindowsNt4{VER_PLATFORM_WIN32_NT, 4, 0, 1381, u"Service Pack 6"};
inline const VersionAnswer kWindows2000{VER_PLATFORM_WIN32_NT, 5, 0, 2195, u"Service Pack 4"};
inline const VersionAnswer kWindowsXp{VER_PLATFORM_WIN32_NT, 5, 1, 2600, u"Service Pack 3"};
inline const VersionAnswer kWindowsVista{VER_PLATFORM_WIN32_NT, 6, 0, 6002, u"Service Pack 2"};
inline const VersionAnswer kWindows7{VER_PLATFORM_WIN32_NT, 6, 1, 7601, u"Service Pack 1"};
// A program without a manifest naming Windows 10 is told 6.2, as Windows 8.1 and 10 do.
inline const VersionAnswer kWindows10{VER_PLATFORM_WIN32_NT, 6, 2, 9200, u""};
}  // namespace versions

class SystemProfile {
public:
    SystemProfile();

    // The profile of the running machine.
    static SystemProfile& Current();

    VersionAnswer Version() const;
    void SetVersion(VersionAnswer version);
    bool IsNtFamily() const { return Version().platform == VER_PLATFORM_WIN32_NT; }

    Architecture GetArchitecture() const;
    void SetArchitecture(Architecture architecture);
    bool Is64Bit() const { return GetArchitecture() == Architecture::X64; }

    // "C:\WINDOWS" unless a test spells it otherwise ("C:\Windows").
    std::u16string WindowsDirectory() const;
    void SetWindowsDirectory(std::u16string directory);
    // The native system folder: "<windows>\system32" (the 9x family: "<windows>\SYSTEM").
    std::u16string SystemDirectory() const;
    // Where a 32-bit program's System32 leads on a 64-bit system: "<windows>\SysWOW64".
    std::u16string Wow64Directory() const;

    // GetVersionExW fails for the extended record only, or for both records.
    void FailVersionQueries(bool extended, bool plain);
    bool ExtendedQueryFails() const;
    bool PlainQueryFails() const;

    // The program a thread runs when no program was started on it: the test itself, a native
    // program with an administrator's token.
    std::shared_ptr<Program> HostProgram();

private:
    mutable std::mutex m_mutex;  // guards what follows
    VersionAnswer m_version;
    Architecture m_architecture;
    std::u16string m_windows = u"C:\\WINDOWS";
    bool m_failExtended = false;
    bool m_failPlain = false;
    std::shared_ptr<Program> m_host;
};

}  // namespace emu::process
