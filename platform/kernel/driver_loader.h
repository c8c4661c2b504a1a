// Driver services and images of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class DriverLoader {
public:
    explicit DriverLoader(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
