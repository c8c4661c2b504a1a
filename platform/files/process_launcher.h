// Programs a program starts: each start is recorded with its command line, flags and the bitness
// it runs with (a 32-bit program's command interpreter is the 32-bit one). Nothing runs at once;
// the command interpreter's "del" runs when the test lets the recorded commands run (after the
// starting program has ended, as the real one would find it), on the machine's file system and
// with the child's own WOW64 view.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "program.h"

namespace emu::files {

struct StartedProcess {
    std::u16string commandLine;
    DWORD creationFlags = 0;
    bool hidden = false;       // STARTF_USESHOWWINDOW with SW_HIDE
    bool withToken = false;    // CreateProcessAsUserW
    bool is32Bit = false;
    bool ran = false;
    bool succeeded = false;    // what the command did when it ran
};

std::vector<StartedProcess> StartedProcesses();
// Runs every recorded command not yet run; returns how many ran.
size_t RunPendingCommands();
// The next start fails with that error.
void FailNextProcessStart(DWORD error);

// Runs a program on the calling thread (see ProgramScope) with its image file in use meanwhile.
class RunningProgram {
public:
    explicit RunningProgram(std::shared_ptr<process::Program> program);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

private:
    std::shared_ptr<process::Program> m_program;
    process::ProgramScope m_scope;
    bool m_marked;
};

}  // namespace emu::files
