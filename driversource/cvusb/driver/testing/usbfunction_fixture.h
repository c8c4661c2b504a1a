// Fixture of the USB library's tests: a USB PDO (a root node with its hardware key) whose internal
// device control is answered by a fake USB function, the registry description the bus INF writes,
// the machine clock paused, and the pool checked for leaks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "cm/registry.h"
#include "cvusb.h"
#include "ex/pool.h"
#include "fake_lower_device.h"
#include "fake_usb_function.h"
#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "tfmemorytracker.h"

namespace cvusbtest {

struct EndpointSpec {
    ULONG number;  // EndPoint<number>
    ULONG handle, interfaceNumber, alternateSetting, address, type, callbackNeeded;
};

// A port of interface `iface`: handle 1 its bulk IN, handle 2 its bulk OUT.
inline std::vector<EndpointSpec> PortEndpoints(ULONG iface = 0)
{
    return {{1, 1, iface, 0, 0x81 + 2 * iface, 2, 1}, {2, 2, iface, 0, 0x02 + 2 * iface, 2, 0}};
}

// The bus INF's description of a port's USB device under a hardware key: the "USB" values (class
// triple 0/0/0, configuration 0) and one "EndPoint<n>" subkey per endpoint.
void WriteUsbDescription(emu::Registry& registry, const std::u16string& hardwareKey,
                         const std::vector<EndpointSpec>& endpoints = PortEndpoints());

// Runs `call` on a thread of its own, does `meanwhile` on this one, and waits (10 s of real time
// at most) until the call returns. A call that never returns is blocked in the code under test for
// good: the test binary stops at once with the failure rather than hang.
void CallWithinBound(const std::function<void()>& call, const std::function<void()>& meanwhile, const char* what);

// Runs `call` on a thread of its own and lets the paused machine clock jump `step` (100 ns units)
// each time a thread waits with a time-out, until the call returns. The number of jumps.
int RunAdvancingClock(emu::Machine& machine, const std::function<void()>& call, LONGLONG step = 10000000);

class UsbFunctionTest : public emu::testing::MachineTest {
protected:
    explicit UsbFunctionTest(int interfaces = 1) : m_usb(interfaces) {}

    void SetUp() override;
    void TearDown() override;

    std::u16string HardwareKey() const;
    // The "USB" values (class triple 0/0/0, configuration 0) and the endpoints.
    void WriteRegistry(const std::vector<EndpointSpec>& endpoints = PortEndpoints());
    PDEVICE_OBJECT Pdo() { return m_pdo.Device(); }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    // A USB device for the PDO (a previous one is deleted), initialised unless told not to; the
    // fixture deletes it at the end.
    CUsbDevice* NewDevice(bool initialise = true);
    // A buffer object of `length` bytes, each `fill`.
    CTfBuffer* NewBuffer(ULONG length, UCHAR fill = 0);

    int RunWithClock(const std::function<void()>& call, LONGLONG step = 10000000)
    {
        return RunAdvancingClock(machine(), call, step);
    }

    FakeUsbFunction m_usb;
    emu::testing::FakeLowerDevice m_pdo;
    CUsbDevice* m_pDevice = nullptr;
    size_t m_baseline = 0;
};

}  // namespace cvusbtest
