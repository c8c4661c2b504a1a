// The machine clock of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class Clock {
public:
    explicit Clock(Machine& machine) : m_machine(machine) {}
    void SetScale(double) {}

private:
    Machine& m_machine;
};

}  // namespace emu
