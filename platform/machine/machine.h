// One emulated Windows computer: its kernel, and on top of it the user-mode subsystem and the USB
// host that devices are plugged into. The kernel-mode functions of <wdm.h> act on
// the machine that is running; one machine runs at a time in a process.
#pragma once

#include <wdm.h>

#include <memory>

#include "kernel.h"

namespace emu {

class Win32Subsystem;
namespace usb {
class UsbHost;
}

using MachineOptions = KernelOptions;

class Machine : public Kernel {
public:
    explicit Machine(MachineOptions options = {});
    // User-mode handles close before the kernel removes the devices they are open on.
    ~Machine() override;

    // The running machine. Calling a kernel function with no machine running is a programming error.
    static Machine& Current();
    static Machine* TryCurrent();

    Win32Subsystem& GetWin32() { return *m_win32; }
    // The USB host controller that test devices plug into.
    usb::UsbHost& GetUsb() { return *m_usb; }

private:
    std::unique_ptr<Win32Subsystem> m_win32;
    // Destroyed after user mode (the body of the destructor) and before the kernel: its devices
    // leave the tree while every kernel component still runs.
    std::unique_ptr<usb::UsbHost> m_usb;
};

}  // namespace emu
