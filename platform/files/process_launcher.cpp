#include "process_launcher.h"

#include <processthreadsapi.h>

#include <mutex>

#include "file_system.h"
#include "kernel.h"
#include "machine_state.h"
#include "ob/object_manager.h"
#include "program_paths.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::files {

namespace {

struct Launches {
    std::mutex mutex;  // guards what follows
    std::vector<StartedProcess> started;
    DWORD nextFailure = 0;
};

win32::PerMachine<Launches> g_launches;

// The words of a command line: blanks separate them, quotes group them.
std::vector<std::u16string> Words(std::u16string_view line)
{
    std::vector<std::u16string> words;
    std::u16string word;
    bool quoted = false, any = false;
    for (WCHAR c : line) {
        if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if ((c == u' ' || c == u'\t') && !quoted) {
            if (any) words.push_back(std::exchange(word, {}));
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

std::u16string BaseName(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u"\\/");
    return UpcaseText(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

bool IsInterpreter(std::u16string_view program)
{
    const std::u16string name = BaseName(program);
    return name == u"CMD" || name == u"CMD.EXE" || name == u"COMMAND" || name == u"COMMAND.COM";
}

// "cmd /c del <path>": deletes the file as the child sees it; false for anything else.
bool RunCommand(const StartedProcess& process)
{
    const std::vector<std::u16string> words = Words(process.commandLine);
    if (words.size() < 4 || !IsInterpreter(words[0]) || UpcaseText(words[1]) != u"/C" || UpcaseText(words[2]) != u"DEL")
        return false;
    auto child = std::make_shared<process::Program>(words[0], process.is32Bit, process::CurrentProgram()->GetToken());
    process::ProgramScope scope(child);
    bool all = true;
    for (size_t index = 3; index < words.size(); ++index)
        all &= FileSystem::Current().Delete(ProgramPath(words[index])) == ERROR_SUCCESS;
    return all;
}

HANDLE NewObjectHandle()
{
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    auto* body = new int(0);
    objects.Register(body, ObjectType::Other, [](void* object) { delete static_cast<int*>(object); });
    HANDLE handle = objects.CreateHandle(body, 0x1F0FFF, UserMode);
    objects.Dereference(body);
    return handle;
}

BOOL Start(bool withToken, LPCWSTR application, LPWSTR commandLine, DWORD flags, LPSTARTUPINFOW startup,
           LPPROCESS_INFORMATION information)
{
    if ((!application && !commandLine) || !startup || !information) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StartedProcess process;
    process.commandLine = commandLine ? commandLine : application;
    process.creationFlags = flags;
    process.hidden = (startup->dwFlags & STARTF_USESHOWWINDOW) && startup->wShowWindow == 0;
    process.withToken = withToken;
    process.is32Bit = process::CurrentProgram()->Is32Bit() || !process::SystemProfile::Current().Is64Bit();
    const std::vector<std::u16string> words = Words(process.commandLine);
    // 64-bit Windows has no 16-bit command interpreter.
    const bool missing = !words.empty() && BaseName(words[0]).starts_with(u"COMMAND") &&
                         process::SystemProfile::Current().Is64Bit();
    Launches& launches = g_launches.Get();
    {
        std::lock_guard lock(launches.mutex);
        if (DWORD failure = std::exchange(launches.nextFailure, 0)) {
            SetLastError(failure);
            return FALSE;
        }
        if (missing) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        launches.started.push_back(process);
    }
    information->hProcess = NewObjectHandle();
    information->hThread = NewObjectHandle();
    information->dwProcessId = 0x1000 + static_cast<DWORD>(StartedProcesses().size()) * 4;
    information->dwThreadId = information->dwProcessId + 2;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

std::vector<StartedProcess> StartedProcesses()
{
    Launches& launches = g_launches.Get();
    std::lock_guard lock(launches.mutex);
    return launches.started;
}

size_t RunPendingCommands()
{
    Launches& launches = g_launches.Get();
    std::vector<StartedProcess> pending;
    {
        std::lock_guard lock(launches.mutex);
        for (StartedProcess& process : launches.started)
            if (!process.ran) pending.push_back(process);
        for (StartedProcess& process : launches.started) process.ran = true;
    }
    std::vector<bool> results;
    for (const StartedProcess& process : pending) results.push_back(RunCommand(process));
    std::lock_guard lock(launches.mutex);
    size_t index = launches.started.size() - pending.size();
    for (bool result : results) launches.started[index++].succeeded = result;
    return pending.size();
}

void FailNextProcessStart(DWORD error)
{
    Launches& launches = g_launches.Get();
    std::lock_guard lock(launches.mutex);
    launches.nextFailure = error;
}

RunningProgram::RunningProgram(std::shared_ptr<process::Program> program)
    : m_program(program), m_scope(program), m_marked(FileSystem::Current().MarkInUse(program->ImagePath(), true))
{
}

RunningProgram::~RunningProgram()
{
    if (m_marked) FileSystem::Current().MarkInUse(m_program->ImagePath(), false);
}

}  // namespace emu::files

extern "C" BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                               LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                               LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                               LPPROCESS_INFORMATION lpProcessInformation)
{
    return emu::files::Start(false, lpApplicationName, lpCommandLine, dwCreationFlags, lpStartupInfo,
                             lpProcessInformation);
}

extern "C" BOOL CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                     LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                     BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                     LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                     LPPROCESS_INFORMATION lpProcessInformation)
{
    DWORD error = 0;
    if (!emu::process::TokenOfHandle(hToken, TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY, error)) {
        SetLastError(error);
        return FALSE;
    }
    return emu::files::Start(true, lpApplicationName, lpCommandLine, dwCreationFlags, lpStartupInfo,
                             lpProcessInformation);
}
