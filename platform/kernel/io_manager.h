// The I/O manager of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class IoManager {
public:
    explicit IoManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
