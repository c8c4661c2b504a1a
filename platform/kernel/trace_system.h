// Software tracing of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class TraceSystem {
public:
    explicit TraceSystem(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
