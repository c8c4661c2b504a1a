// WMI registration and requests of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class WmiManager {
public:
    explicit WmiManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
