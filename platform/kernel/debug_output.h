// Kernel debugger output of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class DebugOutput {
public:
    explicit DebugOutput(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
