// Dispatcher objects and waits under one dispatcher lock of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class Dispatcher {
public:
    explicit Dispatcher(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
