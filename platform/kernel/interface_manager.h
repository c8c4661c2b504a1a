// Device interfaces of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class InterfaceManager {
public:
    explicit InterfaceManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
