// Power manager of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class PowerManager {
public:
    explicit PowerManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
