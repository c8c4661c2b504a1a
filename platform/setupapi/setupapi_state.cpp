// The machine's SetupAPI state and the control calls of tests.
#include "setupapi_state.h"

#include "machine_state.h"
#include "rtl/rtl_text.h"

namespace emu::setupapi {

namespace {

win32::PerMachine<SetupApiState> g_state;

}  // namespace

SetupApiState& State() { return g_state.Get(); }

std::optional<DWORD> TakeFault(SetupCall call)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.faults.find(call);
    if (it == state.faults.end() || it->second.second == 0) return std::nullopt;
    --it->second.second;
    return it->second.first;
}

DEVINST NumberOf(const std::u16string& instancePath)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.paths.empty()) {
        state.numbers[UpcaseText(kRootInstancePath)] = 1;
        state.paths[1] = kRootInstancePath;
    }
    const std::u16string key = UpcaseText(instancePath);
    auto it = state.numbers.find(key);
    if (it != state.numbers.end()) return it->second;
    const DEVINST number = static_cast<DEVINST>(state.paths.size() + 1);
    state.numbers[key] = number;
    state.paths[number] = instancePath;
    return number;
}

std::optional<std::u16string> PathOf(DEVINST number)
{
    if (number == 1) return std::u16string(kRootInstancePath);
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.paths.find(number);
    if (it == state.paths.end()) return std::nullopt;
    return it->second;
}

void FailNextCall(SetupCall call, DWORD error, unsigned count)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    state.faults[call] = {error, count};
}

std::vector<PropertyChangeRecord> PropertyChanges()
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    return state.propertyChanges;
}

std::vector<std::u16string> Reenumerations()
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    return state.reenumerations;
}

}  // namespace emu::setupapi
