#include "scripted_operation.h"

#include <chrono>

namespace {

OperationScript* g_script = nullptr;

}  // namespace

void UseOperationScript(OperationScript* script) { g_script = script; }

std::vector<std::string> OperationScript::Calls()
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void OperationScript::Record(const std::string& call)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(call);
}

void OperationScript::BlockIfAsked(const std::string& call)
{
    if (call != blockIn) return;
    std::unique_lock lock(m_mutex);
    m_blocked = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_released; });
}

bool OperationScript::WaitUntilBlocked()
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_blocked; });
}

void OperationScript::Release()
{
    std::lock_guard lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}

bool ScriptedOperation::Step(const std::string& call, CProgressCtrl* progress)
{
    m_script.Record(call);
    if (m_script.onCall) m_script.onCall(call);
    m_script.BlockIfAsked(call);
    if (progress) {
        progress->SetRange(0, 1);
        progress->SetStep(1);
        progress->StepIt();
    }
    return call != m_script.failing;
}

namespace {

CTfUninstallOperation* Make(const char* kind)
{
    if (!g_script || !g_script->makeOperation) return nullptr;
    ++g_script->made;
    g_script->kind = kind;
    return new ScriptedOperation(*g_script);
}

}  // namespace

CTfUninstallOperation* CreateWin2kUninstallOperation() { return Make("2k"); }
CTfUninstallOperation* CreateWin9xUninstallOperation() { return Make("9x"); }

// The shared operations of the real ones, which the wizard's tests do not link; the scripted
// operation has its own.
bool CTfUninstallOperation::DeleteUninstaller() { return false; }

bool CTfUninstallOperation::ReenumerateDevices(BYTE& restartNeeded)
{
    restartNeeded = 0;
    return false;
}
