// User-mode Win32 subsystem (processes, handles, last error) of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class Win32Subsystem {
public:
    explicit Win32Subsystem(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
