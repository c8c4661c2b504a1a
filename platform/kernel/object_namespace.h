// Object namespace (device names and symbolic links) of the emulated machine.
#pragma once

#include <wdm.h>

namespace emu {

class Machine;

class ObjectNamespace {
public:
    explicit ObjectNamespace(Machine& machine) : m_machine(machine) {}

private:
    Machine& m_machine;
};

}  // namespace emu
