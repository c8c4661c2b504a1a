// The machine's side of an MFC program: it starts the program's application object as WinMain
// does, on the calling thread running the program (its image in use meanwhile), and keeps the
// threads the program starts so a test can wait for them after the program ends.
#pragma once

#include <afxwin.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "program.h"

namespace emu::mfc {

struct ProgramRun {
    int exitCode = 0;
    // Threads of the program still running when the wait for them ran out.
    size_t threadsLeft = 0;
};

// Runs `app` as `program` with the command line's words (the first is the image's name):
// InitInstance; when it returns TRUE, Run (which ends with ExitInstance); otherwise ExitInstance.
// Then waits for the threads the program started, at most `join` (a guard against a hang; a
// thread that ends normally ends long before).
ProgramRun RunApplication(CWinApp& app, std::shared_ptr<process::Program> program, std::vector<std::u16string> words,
                          std::chrono::milliseconds join = std::chrono::seconds(10));

// Runs an application as RunApplication does, on a thread of its own (the program's user-interface
// thread), so that the test's thread can act as the user meanwhile.
class ApplicationThread {
public:
    ApplicationThread(CWinApp& app, std::shared_ptr<process::Program> program, std::vector<std::u16string> words);
    ~ApplicationThread();  // waits for the program
    ApplicationThread(const ApplicationThread&) = delete;
    ApplicationThread& operator=(const ApplicationThread&) = delete;

    // Waits for the program to end; its run.
    ProgramRun Join();

private:
    std::thread m_thread;
    ProgramRun m_run;
    bool m_joined = false;
};

// Threads started with AfxBeginThread that have not returned yet.
size_t LiveThreads();
// Waits until every such thread has returned; false when the time ran out first.
bool WaitForThreads(std::chrono::milliseconds timeout);

}  // namespace emu::mfc
