// Named callback objects of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class CallbackManager {
public:
    explicit CallbackManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
