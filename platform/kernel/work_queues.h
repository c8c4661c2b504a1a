// System work queues and work items of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class WorkQueues {
public:
    explicit WorkQueues(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
