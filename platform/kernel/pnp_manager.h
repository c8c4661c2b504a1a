// Plug and Play manager (device tree, driver loading) of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class PnpManager {
public:
    explicit PnpManager(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
