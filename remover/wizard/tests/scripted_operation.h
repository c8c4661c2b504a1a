// An uninstall operation the test scripts in place of the real ones: it records each call (and the
// thread it ran on), reports one step on the progress bar it is given, can fail a removal, hold the
// ports, ask for a restart, and stop in one step until the test lets it go on.
#pragma once

#include <afxcmn.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "uninstalloperation.h"

struct OperationScript {
    bool makeOperation = true;
    bool portsFree = true;
    std::string failing;      // the removal that fails
    int restartNeeded = 0;
    std::string blockIn;      // the step that waits for Release
    std::function<void(const std::string&)> onCall;  // runs in each step, on the step's thread

    // What happened.
    std::vector<std::string> Calls();
    std::atomic<int> made{0};
    std::atomic<int> destroyed{0};
    std::string kind;  // "2k" or "9x" of the last operation made

    bool WaitUntilBlocked();
    void Release();

    // Used by the operation.
    void Record(const std::string& call);
    void BlockIfAsked(const std::string& call);

private:
    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;
    bool m_blocked = false;
    bool m_released = false;
};

// The script the next operations follow (set by the test for its run).
void UseOperationScript(OperationScript* script);

class ScriptedOperation : public CTfUninstallOperation {
public:
    explicit ScriptedOperation(OperationScript& script) : m_script(script) {}
    ~ScriptedOperation() override { ++m_script.destroyed; }

    void SearchProducts(CProgressCtrl* progress) override { Step("SearchProducts", progress); }
    void SearchDriverFiles(CProgressCtrl* progress) override { Step("SearchDriverFiles", progress); }
    void SearchRegistryEntries(CProgressCtrl* progress) override { Step("SearchRegistryEntries", progress); }
    bool UninstallProducts(CProgressCtrl* progress) override { return Step("UninstallProducts", progress); }
    bool UninstallDriverFiles(CProgressCtrl* progress) override { return Step("UninstallDriverFiles", progress); }
    bool UninstallRegistryEntries(CProgressCtrl* progress) override { return Step("UninstallRegistryEntries", progress); }
    bool DeleteUninstaller() override { return Step("DeleteUninstaller", nullptr); }
    bool ArePortsFree() override { return Step("ArePortsFree", nullptr) && m_script.portsFree; }
    int IsRestartNeeded() override
    {
        Step("IsRestartNeeded", nullptr);
        return m_script.restartNeeded;
    }

private:
    bool Step(const std::string& call, CProgressCtrl* progress);
    OperationScript& m_script;
};
