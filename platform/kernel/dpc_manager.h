// Timers and DPCs of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class DpcManager {
public:
    explicit DpcManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
