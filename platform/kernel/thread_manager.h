// System threads of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class ThreadManager {
public:
    explicit ThreadManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
