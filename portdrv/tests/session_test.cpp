// A port's sessions: what each open sends the bus, the parameter set applied at start, surprise
// removal with an open handle, and the WMI blocks.
#include <ntddser.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "tfusermodeinterfacecodes.h"
#include "port_harness.h"
#include "wmi_requests.h"

namespace portdrvtest {
namespace {

class SessionTest : public PortTest {
protected:
    std::optional<ULONG> Stored(std::u16string_view name) { return Reg().GetDword(HardwareKey() + u"\\UI1", name); }
    // A configuration request as the property pages send it (answered by the port), on a handle of its own.
    Bytes Ask(ULONG code, const Bytes& payload, size_t outputLength, bool* ok = nullptr)
    {
        const GUID portInterface = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};
        std::u16string path;
        for (const auto& entry : machine().GetInterfaces().Interfaces(portInterface, true))
            if (entry.pdo == Pdo()) path = entry.devicePath;
        HANDLE handle = Open(path);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        Bytes input = Join({U32(TF_USERMODE_ANSWER_HERE), U32(TF_USERMODE_DEFAULT_SET_INDEX), payload});
        Bytes output(outputLength, 0);
        DWORD returned = 0;
        BOOL done = DeviceIoControl(handle, code, input.data(), static_cast<DWORD>(input.size()),
                                    output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()),
                                    &returned, nullptr);
        if (ok) *ok = done != FALSE;
        Close(handle);
        output.resize(returned);
        return output;
    }
    Bytes ReadSet() { return Ask(IOCTL_TF_USERMODE_GET_SET, {}, At(Ask(IOCTL_TF_USERMODE_GET_SIZE, {}, 4), 0)); }
    // The set with one value (by registration number, from 1) changed.
    static Bytes WithValue(Bytes set, size_t number, ULONG value)
    {
        std::memcpy(set.data() + (number - 1) * 4, &value, 4);
        return set;
    }
    std::vector<std::string> Without(const std::vector<std::string>& calls, const std::string& skipped)
    {
        std::vector<std::string> kept;
        for (const std::string& call : calls) {
            if (call.rfind(skipped, 0) != 0) kept.push_back(call);
        }
        return kept;
    }
};

// The bus forgets the handshake at every close: each open sends it again, and drives the lines only
// where the handshake needs them.
TEST_F(SessionTest, EveryOpenSendsTheHandshakeInForce)
{
    SetParameter(u"FlowControl", 1);
    SetParameter(u"Baudrate", 19200);
    SetParameter(u"Databits", 2);
    SetParameter(u"Parity", 2);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    EXPECT_EQ(Without(Without(Port().Calls(), "GetFifoSizes"), "TriggerLevels"),
              (std::vector<std::string>{"Connect", "SetBaudRate 19200", "CommSettings 2 2 0", "Handshaking 110000000000",
                                        "SetRts 1"}));
    ASSERT_EQ(Status(IOCTL_SERIAL_SET_BAUD_RATE, U32(57600)), STATUS_SUCCESS);
    ClosePort();
    Port().ClearCalls();
    OpenPort();
    EXPECT_EQ(Without(Without(Port().Calls(), "GetFifoSizes"), "TriggerLevels"),
              (std::vector<std::string>{"Connect", "SetBaudRate 57600", "CommSettings 2 2 0", "Handshaking 110000000000",
                                        "SetRts 1"}));
}

TEST_F(SessionTest, WithoutHandshakeTheOpenLeavesTheLinesAlone)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    EXPECT_EQ(Port().CallsOf("Handshaking"), std::vector<std::string>{"Handshaking 000000000000"});
    EXPECT_TRUE(Port().CallsOf("SetDtr").empty());
    EXPECT_TRUE(Port().CallsOf("SetRts").empty());
    ClosePort();
    EXPECT_EQ(Port().CallsOf("SetDtr"), std::vector<std::string>{"SetDtr 0"});
    EXPECT_EQ(Port().CallsOf("SetRts"), std::vector<std::string>{"SetRts 0"});
}

// A stored rate the bus no longer runs fails neither the start nor an open.
TEST_F(SessionTest, AStoredRateTheBusRefusesFallsBackToTheDefault)
{
    SetParameter(u"Baudrate", 2000000);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Baudrate"), std::optional<ULONG>(9600));
    OpenPort();
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
}

// A set the bus cannot run is refused and changes nothing; an accepted one applies its flags at once
// and its values at the next setting request.
TEST_F(SessionTest, TheParameterSetIsAppliedToTheOpenPortOrRefusedWhole)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    Bytes before = ReadSet();
    ASSERT_EQ(before.size(), 33u * 4);
    EXPECT_EQ(At(before, 4 * 4), 9600u);  // Baudrate
    bool ok = true;
    Ask(IOCTL_TF_USERMODE_SET_SET, WithValue(WithValue(before, 5, 2000000), 25, 1), 0, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadSet(), before);
    EXPECT_EQ(Stored(u"Baudrate"), std::optional<ULONG>(9600));
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_MSR_CTS, 0u);

    Port().ClearCalls();
    Ask(IOCTL_TF_USERMODE_SET_SET, WithValue(WithValue(WithValue(before, 5, 38400), 20, 1), 25, 1), 0, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Stored(u"Baudrate"), std::optional<ULONG>(38400));
    EXPECT_TRUE(Port().CallsOf("SetBaudRate").empty());
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_MSR_CTS, (ULONG)SERIAL_MSR_CTS);
    ASSERT_EQ(Status(IOCTL_SERIAL_SET_BAUD_RATE, U32(9600)), STATUS_SUCCESS);
    EXPECT_EQ(Port().CallsOf("SetBaudRate"), std::vector<std::string>{"SetBaudRate 38400"});
}

// MaxBaudRate, and the supported-rate mask probed from a bus that does not tell its rates.
struct ProbeCase {
    ULONG maxBaudRate;
    ULONG expected;
};

TEST_F(SessionTest, StartProbesTheRatesTheBusRuns)
{
    const ProbeCase cases[] = {{115200, 0x2FFFF | SERIAL_BAUD_57600}, {1000000, 0x1007FFFF}, {9600, 0xFFF}};
    for (const ProbeCase& c : cases) {
        SetParameter(u"MaxBaudRate", c.maxBaudRate);
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        EXPECT_EQ(Stored(u"SupportedBaudRates"), std::optional<ULONG>(c.expected)) << c.maxBaudRate;
        EXPECT_EQ(Stored(u"PortType"), std::optional<ULONG>(0));
        ASSERT_EQ(Unplug(), STATUS_SUCCESS);
        Reg().DeleteTree(HardwareKey() + u"\\UI1");
    }
}

TEST_F(SessionTest, ADuplexPortIsAnRs485PortInDuplexModeOne)
{
    FakePortOptions options;
    options.duplex = 1;
    ASSERT_EQ(Plug(options), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"PortType"), std::optional<ULONG>(1));
    EXPECT_EQ(Stored(u"DuplexMode"), std::optional<ULONG>(1));
    OpenPort();
    EXPECT_EQ(Port().CallsOf("Duplex"), std::vector<std::string>{"Duplex 1 0"});
    ControlResult mode = Control(0x1B2000, {}, 8);
    EXPECT_EQ(At(mode.output, 0), 1u);
    EXPECT_EQ(Status(0x1B2004, Join({U32(2), U32(1)})), STATUS_SUCCESS);
    EXPECT_EQ(Port().CallsOf("Duplex").back(), "Duplex 2 1");
    EXPECT_EQ(Number(IOCTL_SERIAL_GET_PROPERTIES, 24, 64), SERIAL_SP_RS422);
}

// After a surprise removal the handle's requests end and new ones fail at once; close still completes.
TEST_F(SessionTest, SurpriseRemovalEndsEveryRequestOfTheOpenHandle)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    PDEVICE_OBJECT fdo = Fdo();
    auto read = ReadAsync(16);
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(Status(IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_EVENT2)), STATUS_SUCCESS);
    auto wait = ControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);

    ASSERT_EQ(SurpriseUnplug(), STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->ioStatus.Status, STATUS_CANCELLED);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(At(wait->buffer, 0), (ULONG)SERIAL_EV_EVENT2);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    Bytes buffer(8);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, buffer.data(), 8, nullptr, &event, &ioStatus);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_DELETE_PENDING);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, fdo, buffer.data(), 8, nullptr, &event, &ioStatus);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_DELETE_PENDING);
    ClosePort();
    machine().GetPnp().WaitIdle();
    EXPECT_EQ(BusRequests(), (std::vector<std::string>{"create 1", "release 1"}));
}

// Removal stops the port's executor before it gives the record back: a flow-control action under
// way finishes on a record that still exists.
TEST_F(SessionTest, RemovalReleasesTheRecordOnlyAfterTheExecutorStopped)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    ASSERT_EQ(Status(IOCTL_SERIAL_SET_HANDFLOW, Join({U32(SERIAL_DTR_CONTROL), U32(SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE),
                                                      U32(512), U32(128)})),
              STATUS_SUCCESS);
    Port().Receive(Bytes(4000, 0x41));
    Port().HoldNext("SendXonXoff");
    Port().ReceiveRoom(62, 318);
    ASSERT_TRUE(Port().WaitUntilHeld());
    ClosePort();
    std::thread unplug([this] { EXPECT_EQ(Unplug(), STATUS_SUCCESS); });
    // The removal waits for the action; without the order it gives the record back meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(BusRequests(), std::vector<std::string>{"create 1"});
    Port().Proceed();
    unplug.join();
    EXPECT_EQ(BusRequests(), (std::vector<std::string>{"create 1", "release 1"}));
}

// A close and a surprise removal that overlap disconnect the port once: the close under way does
// it, and the removal waits for the close instead of disconnecting the port a second time.
TEST_F(SessionTest, ACloseAndARemovalThatOverlapDisconnectOnce)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    // Reads return at once: the probe below never waits.
    ASSERT_EQ(Status(IOCTL_SERIAL_SET_TIMEOUTS, Join({U32(MAXULONG), U32(0), U32(0), U32(0), U32(0)})),
              STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Fdo();
    Port().HoldNext("Disconnect");
    std::thread closer([this] { ClosePort(); });
    ASSERT_TRUE(Port().WaitUntilHeld());
    std::thread unplug([this] { EXPECT_EQ(SurpriseUnplug(), STATUS_SUCCESS); });
    // The removal has decided whether to disconnect once it refuses reads.
    NTSTATUS probe = STATUS_SUCCESS;
    for (int polls = 0; polls < 5000 && probe != STATUS_DELETE_PENDING; ++polls) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        Bytes buffer(8);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, buffer.data(), 8, nullptr, &event, &ioStatus);
        probe = IoCallDriver(fdo, irp);
        if (probe == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(probe, STATUS_DELETE_PENDING) << "the removal did not get past the port";
    Port().Proceed();
    closer.join();
    unplug.join();
    size_t disconnects = 0;
    for (const std::string& call : Port().Calls()) {
        if (call == "Disconnect") ++disconnects;
    }
    EXPECT_EQ(disconnects, 1u);
}

TEST_F(SessionTest, WmiBlocksDescribeThePort)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    emu::testing::WmiTarget target;
    target.device = Fdo();
    const GUID name = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
    auto nameBlock = emu::testing::WmiRequests::QuerySingleInstance(target, name, 0);
    ASSERT_EQ(nameBlock.status, STATUS_SUCCESS);
    ASSERT_EQ(nameBlock.instances.size(), 1u);
    const Bytes expectedName = {8, 0, 'C', 0, 'O', 0, 'M', 0, '5', 0};
    EXPECT_EQ(nameBlock.instances[0], expectedName);
    const GUID comm = {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
    auto commBlock = emu::testing::WmiRequests::QuerySingleInstance(target, comm, 0);
    ASSERT_EQ(commBlock.status, STATUS_SUCCESS);
    ASSERT_EQ(commBlock.instances.size(), 1u);
    const Bytes& data = commBlock.instances[0];
    ASSERT_EQ(data.size(), 64u);
    EXPECT_EQ(At(data, 0), 9600u);
    EXPECT_EQ(At(data, 4), 8u);
    EXPECT_EQ(At(data, 36), 1000000u);
    EXPECT_EQ(data[60], 1);  // open
    const GUID lines = {0x41AFEF2A, 0x2ED2, 0x4D2C, {0xA4, 0x5F, 0x6A, 0x8A, 0xC3, 0xBB, 0xBC, 0x1F}};
    Port().ModemStatus(true, false, false, false, false);
    auto linesBlock = emu::testing::WmiRequests::QuerySingleInstance(target, lines, 0);
    ASSERT_EQ(linesBlock.instances.size(), 1u);
    EXPECT_EQ(linesBlock.instances[0][1], SERIAL_MSR_CTS | SERIAL_MSR_DCTS);
    EXPECT_EQ(linesBlock.instances[0][2], SERIAL_LSR_THRE | SERIAL_LSR_TEMT);
}

}  // namespace
}  // namespace portdrvtest
