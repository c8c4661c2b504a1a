// Kernel pool of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class Pool {
public:
    explicit Pool(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
