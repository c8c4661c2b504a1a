#include "machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "usb_host.h"
#include "win32_subsystem.h"

namespace emu {

namespace {
std::atomic<Machine*> g_current{nullptr};
}  // namespace

Machine::Machine(MachineOptions options) : Kernel(options)
{
    m_win32 = std::make_unique<Win32Subsystem>(*this);
    m_usb = std::make_unique<usb::UsbHost>(*this);
    g_current.store(this);
}

Machine::~Machine()
{
    g_current.store(nullptr);
    // Destroyed while its pointer still answers, so a close finishing on another thread during the
    // subsystem's shutdown can still reach it.
    delete m_win32.get();
    (void)m_win32.release();
}

Machine& Machine::Current()
{
    Machine* machine = g_current.load();
    if (!machine) {
        std::fprintf(stderr, "emu::Machine: called with no machine running\n");
        std::abort();
    }
    return *machine;
}

Machine* Machine::TryCurrent() { return g_current.load(); }

}  // namespace emu
