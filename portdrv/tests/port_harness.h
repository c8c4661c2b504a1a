// Harness of the port driver's tests: Portdrv39.sys loaded by Plug and Play on a port child whose
// PDO is a test double of the bus driver's child (it answers IOCTL_CREATE_CVISERIAL and
// IOCTL_RELEASE_CVISERIAL with a CFakeSerialPort), and helpers that send the port requests as the
// I/O manager does.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "cm/registry.h"
#include "fake_serial_port.h"
#include "machine_test.h"
#include "test_driver.h"

namespace portdrvtest {

using Bytes = std::vector<uint8_t>;

inline constexpr char16_t kService[] = u"Portdrv39";
inline constexpr char16_t kImage[] = u"Portdrv39.sys";
inline constexpr char16_t kHardwareId[] = u"CVUSB\\PORT";
inline constexpr char16_t kInstancePath[] = u"CVUSB\\PORT\\0001";
inline constexpr char16_t kPortsClass[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline constexpr char16_t kSerialCommKey[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct ControlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes output;
};

// A request sent without waiting for it.
struct PendingRequest {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    Bytes buffer;
    NTSTATUS dispatchStatus = STATUS_PENDING;
    // Waits up to `milliseconds` of real time; false when it did not complete.
    bool Wait(ULONG milliseconds = 5000);
};

class PortTest : public emu::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    emu::Registry& Reg() { return machine().GetRegistry(); }
    std::u16string HardwareKey() const;
    // The port's parameter values under "UI1", written before the port starts.
    void SetParameter(std::u16string_view name, ULONG value);

    // Plugs the port child; the port driver loads and starts. The options shape the fake port.
    NTSTATUS Plug(const FakePortOptions& options = {});
    NTSTATUS Unplug();
    NTSTATUS SurpriseUnplug();
    PDEVICE_OBJECT Fdo() const { return m_pdo ? m_pdo->AttachedDevice : nullptr; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    CFakeSerialPort& Port() { return *m_port; }
    bool HasPort() const { return m_port != nullptr; }
    std::vector<std::string>& BusRequests() { return m_busRequests; }

    // The COM port from user mode.
    HANDLE Open(const std::u16string& name = u"\\\\.\\COM5");
    void Close(HANDLE handle);
    void OpenPort();   // m_handle
    void ClosePort();

    // Requests to the port's device object, as the I/O manager builds them (buffered).
    ControlResult Control(ULONG code, const Bytes& input = {}, ULONG outputLength = 0, bool internal = false);
    NTSTATUS Status(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) { return Control(code, input, outputLength).status; }
    std::unique_ptr<PendingRequest> ControlAsync(ULONG code, const Bytes& input, ULONG outputLength);
    // The read is built at PASSIVE_LEVEL and sent at `irql` (the read dispatch runs at the caller's).
    std::unique_ptr<PendingRequest> ReadAsync(ULONG length, KIRQL irql = PASSIVE_LEVEL);
    std::unique_ptr<PendingRequest> WriteAsync(const Bytes& data);

    // Values of the serial structures.
    ULONG Number(ULONG code, ULONG offset = 0, ULONG outputLength = 4);
    static Bytes U32(ULONG value);
    static Bytes Join(std::initializer_list<Bytes> parts);
    static ULONG At(const Bytes& bytes, size_t offset);

    size_t TrackedBlocks();
    size_t AssertLines();

    HANDLE m_handle = INVALID_HANDLE_VALUE;

private:
    NTSTATUS BusChildInternalControl(PIRP irp);

    emu::testing::TestDriver m_bus{u"CvBusDouble"};
    PDEVICE_OBJECT m_pdo = nullptr;
    std::unique_ptr<CFakeSerialPort, void (*)(CFakeSerialPort*)> m_port{nullptr, nullptr};
    FakePortOptions m_options;
    std::vector<std::string> m_busRequests;
    bool m_plugged = false;
};

}  // namespace portdrvtest
