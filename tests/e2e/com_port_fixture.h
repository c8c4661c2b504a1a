// The fixture of the end-to-end tests: a machine with the driver package installed as Setup
// installs it, a simulated adapter plugged into its USB host with a cable on its ports, and COM
// ports opened through kernel32 as an application opens them. The machine clock is paused: time
// moves only when a test advances it, so every time-out is exact and no test waits for a line.
//
// Tear-down closes what is open, unplugs the adapter and checks that every request came back, both
// drivers unloaded, the drivers' tracked pool is empty and the verifier has nothing to report.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver_package.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "machine_test.h"
#include "scripted_peer.h"
#include "usb_device.h"

namespace e2e {

enum class Cable {
    Loopback,   // on the first port
    NullModem,  // between the two ports of a two-port adapter
    Peer,       // a scripted peer on each port
    None,
};

struct Adapter {
    bool twoPorts = false;
    Cable cable = Cable::Loopback;
    bool pacedLine = false;  // characters take their time on the line
    bool pacedBus = false;   // the USB host keeps to the frame budget
};

// A line set-up an application makes with SetCommState: 8 data bits, no parity, one stop bit.
struct LineSetup {
    DWORD rate = 115200;
    bool rtsCts = false;
    bool dtrDsr = false;
    bool xonXoff = false;
    bool abortOnError = false;
};

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// Random bytes, the same for the same seed.
std::vector<uint8_t> RandomBytes(size_t size, unsigned seed);

class ComPortTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override;
    void SetUp() override;
    void TearDown() override;

    // Plugs a new adapter and waits until its devices have started.
    void Plug(const Adapter& adapter = {});
    // Pulls the adapter out (a surprise removal of its devices) and waits until they are gone.
    void Unplug();
    emu::devices::FtdiChip& Chip() { return *m_chips.back(); }
    // The scripted peer on port 1 or 2 (Cable::Peer); tell the host after driving it (Notify).
    emu::devices::ScriptedPeer& Peer(int port = 1) { return *m_peers.at(port - 1); }
    void Notify();

    // The COM names the ports received, in port order.
    std::vector<std::u16string> PortNames() const { return m_package.PortNames(); }
    bool NameIsLinked(const std::u16string& name);
    // Opens a port for overlapped I/O through "\\.\COMn"; the fixture closes it.
    HANDLE Open(int port = 1);
    HANDLE OpenName(const std::u16string& name);
    // Closing waits for the port's transmitter to drain, in machine time: the clock runs meanwhile.
    void Close(HANDLE handle);

    void Configure(HANDLE port, const LineSetup& setup);
    void SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0);
    // Raises MaximumBaudRate in the bus set and MaxBaudRate in the port set through the port's
    // configuration interface, as the property pages do.
    void RaiseMaximumBaudRate(const std::u16string& name, ULONG rate);
    // Writes one block and waits for it to be confirmed.
    void WriteAll(HANDLE port, const std::vector<uint8_t>& data);
    // Reads until `size` bytes have arrived (each read returns what is there, waiting up to 1 s of
    // machine time for the first byte), with the clock running at least at kDataClockScale: the
    // bus driver moves short packets on its own timers.
    std::vector<uint8_t> ReadAll(HANDLE port, size_t size);
    static constexpr double kDataClockScale = 50;

    emu::devices::Time Now();
    void AdvanceMs(double ms);
    // Sets the clock's rate against real time; returns the rate it had.
    double RunClock(double scale);

    // Waits until the port driver has received `count` bytes since it started (its statistics).
    void AwaitReceived(HANDLE port, ULONG count);

private:
    void Cabling(const Adapter& adapter, emu::devices::FtdiChip& chip);
    void CloseAll();
    void CheckNothingLeft();

    cvinstall::DriverPackage m_package;
    std::vector<std::unique_ptr<emu::devices::FtdiChip>> m_chips;  // each outlives its plug
    std::shared_ptr<emu::usb::FtdiChipDevice> m_model;
    emu::usb::UsbDevice* m_device = nullptr;
    std::vector<std::shared_ptr<emu::devices::ScriptedPeer>> m_peers;
    std::vector<HANDLE> m_handles;
};

}  // namespace e2e
