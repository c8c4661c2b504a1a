// The registry of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class Registry {
public:
    explicit Registry(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
