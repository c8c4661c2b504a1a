// The program a thread runs: its image (the path it was started from, and whether it is a 32-bit
// program), its token, current directory and priority class. Each program's bitness is part of
// the machine, as on Windows: a 32-bit program on a 64-bit system runs under WOW64, with the
// system folder redirected while its thread's redirection flag is on.
//
// The emulation runs programs inside the test's process: a ProgramScope makes the calling thread
// run a program, and a thread the program starts takes its program over (ThreadContext). A thread
// that runs no program runs the machine's host program, a native one with an administrator's token.
#pragma once

#include <windef.h>

#include <memory>
#include <mutex>
#include <string>

#include "token.h"

namespace emu::process {

class Program {
public:
    Program(std::u16string imagePath, bool is32Bit, std::shared_ptr<Token> token);

    const std::u16string& ImagePath() const { return m_imagePath; }
    // The image's file name without its folder and without ".exe" ("Remover39").
    std::u16string ExeName() const;
    bool Is32Bit() const { return m_is32Bit; }
    // A 32-bit program on the running 64-bit system.
    bool IsWow64() const;

    std::shared_ptr<Token> GetToken() const;
    void SetToken(std::shared_ptr<Token> token);
    std::u16string CurrentDirectory() const;
    void SetCurrentDirectory(std::u16string directory);
    DWORD PriorityClass() const;
    void SetPriorityClass(DWORD priorityClass);
    // The module handle of the program's image (GetModuleHandleW(NULL)): its resources' key.
    HINSTANCE Instance() const;
    void SetInstance(HINSTANCE instance);

private:
    const std::u16string m_imagePath;
    const bool m_is32Bit;
    mutable std::mutex m_mutex;  // guards what follows
    std::shared_ptr<Token> m_token;
    std::u16string m_currentDirectory;
    DWORD m_priorityClass = 0x20;  // NORMAL_PRIORITY_CLASS
    HINSTANCE m_instance = nullptr;
};

// The program the calling thread runs.
std::shared_ptr<Program> CurrentProgram();

// Runs a program on the calling thread for the scope's life; the thread's file-system
// redirection starts on, as in a new process.
class ProgramScope {
public:
    explicit ProgramScope(std::shared_ptr<Program> program);
    ~ProgramScope();
    ProgramScope(const ProgramScope&) = delete;
    ProgramScope& operator=(const ProgramScope&) = delete;

private:
    std::shared_ptr<Program> m_previous;
    bool m_previousRedirection;
    uint64_t m_previousSerial;
};

// What a thread takes over from the thread that started it: the program. Capture on the starting
// thread, Adopt first thing on the new one.
class ThreadContext {
public:
    static ThreadContext Capture();
    void Adopt() const;

private:
    std::shared_ptr<Program> m_program;
};

// The calling thread's WOW64 file-system redirection flag (on unless the thread turned it off).
bool FsRedirectionEnabled();
void SetFsRedirectionEnabled(bool enabled);

}  // namespace emu::process
