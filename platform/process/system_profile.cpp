#include "system_profile.h"

#include "kernel.h"
#include "machine_state.h"
#include "program.h"

namespace emu::process {

namespace {

win32::PerMachine<SystemProfile> g_profile;

VersionAnswer AnswerOf(WindowsVersion windows)
{
    switch (windows) {
    case WindowsVersion::Win95: return versions::kWindows95;
    case WindowsVersion::Win98: return versions::kWindows98;
    case WindowsVersion::WinMe: return versions::kWindowsMe;
    case WindowsVersion::Win2000: return versions::kWindows2000;
    case WindowsVersion::WinXP: return versions::kWindowsXp;
    case WindowsVersion::Win7: return versions::kWindows7;
    case WindowsVersion::Win10: return versions::kWindows10;
    }
    return versions::kWindows7;
}

Architecture ArchitectureOf(WindowsVersion windows)
{
    return windows == WindowsVersion::Win7 || windows == WindowsVersion::Win10 ? Architecture::X64 : Architecture::X86;
}

}  // namespace

SystemProfile::SystemProfile()
    : m_version(AnswerOf(Kernel::Current().Windows())), m_architecture(ArchitectureOf(Kernel::Current().Windows()))
{
}

SystemProfile& SystemProfile::Current() { return g_profile.Get(); }

VersionAnswer SystemProfile::Version() const
{
    std::lock_guard lock(m_mutex);
    return m_version;
}

void SystemProfile::SetVersion(VersionAnswer version)
{
    std::lock_guard lock(m_mutex);
    m_version = std::move(version);
}

Architecture SystemProfile::GetArchitecture() const
{
    std::lock_guard lock(m_mutex);
    return m_architecture;
}

void SystemProfile::SetArchitecture(Architecture architecture)
{
    std::lock_guard lock(m_mutex);
    m_architecture = architecture;
}

std::u16string SystemProfile::WindowsDirectory() const
{
    std::lock_guard lock(m_mutex);
    return m_windows;
}

void SystemProfile::SetWindowsDirectory(std::u16string directory)
{
    std::lock_guard lock(m_mutex);
    m_windows = std::move(directory);
}

std::u16string SystemProfile::SystemDirectory() const
{
    return WindowsDirectory() + (IsNtFamily() ? u"\\system32" : u"\\SYSTEM");
}

std::u16string SystemProfile::Wow64Directory() const { return WindowsDirectory() + u"\\SysWOW64"; }

void SystemProfile::FailVersionQueries(bool extended, bool plain)
{
    std::lock_guard lock(m_mutex);
    m_failExtended = extended;
    m_failPlain = plain;
}

bool SystemProfile::ExtendedQueryFails() const
{
    std::lock_guard lock(m_mutex);
    // The 9x family and NT 4.0 before its sixth service pack know only the plain record.
    return m_failExtended || m_version.platform != VER_PLATFORM_WIN32_NT;
}

bool SystemProfile::PlainQueryFails() const
{
    std::lock_guard lock(m_mutex);
    return m_failPlain;
}

std::shared_ptr<Program> SystemProfile::HostProgram()
{
    std::lock_guard lock(m_mutex);
    if (!m_host) m_host = std::make_shared<Program>(u"C:\\host.exe", false, Token::Administrator());
    return m_host;
}

}  // namespace emu::process
