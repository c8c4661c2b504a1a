// The event log of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class EventLog {
public:
    explicit EventLog(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
