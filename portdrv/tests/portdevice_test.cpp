// The COM port device: what start makes (COM name, DOS-device link, SERIALCOMM entry, COM port
// interface, ISerial), what open, close and removal do with it, and start failures.
#include <ntddser.h>

#include "ob/object_namespace.h"
#include "pnp/interface_manager.h"
#include "port_harness.h"

namespace portdrvtest {
namespace {

class PortDeviceTest : public PortTest {
protected:
    std::optional<std::u16string> Link(std::u16string_view name = u"\\??\\COM5")
    {
        return machine().GetNamespace().LinkTarget(name);
    }
    size_t EnabledComPorts()
    {
        return machine().GetInterfaces().Interfaces(GUID_DEVINTERFACE_COMPORT, true).size();
    }
    std::vector<std::u16string> SerialCommNames() { return Reg().ValueNames(kSerialCommKey); }
};

TEST_F(PortDeviceTest, StartPublishesTheComPortAndRemovalTakesItBack)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    auto target = Link();
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->rfind(u"\\Device\\CvUsbCom", 0), 0u);
    auto names = SerialCommNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], *target);
    auto value = Reg().GetValue(kSerialCommKey, names[0]);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_EQ(value->data.size(), 10u);  // "COM5" and its terminator
    EXPECT_EQ(EnabledComPorts(), 1u);
    EXPECT_EQ(BusRequests(), std::vector<std::string>{"create 1"});

    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_FALSE(Link().has_value());
    EXPECT_TRUE(SerialCommNames().empty());
    EXPECT_EQ(EnabledComPorts(), 0u);
    EXPECT_EQ(BusRequests(), (std::vector<std::string>{"create 1", "release 1"}));
    EXPECT_EQ(AssertLines(), 0u);
}

TEST_F(PortDeviceTest, StartWithoutPortNameLeavesNothingBehind)
{
    Reg().DeleteValue(HardwareKey(), u"PortName");
    EXPECT_NE(Plug(), STATUS_SUCCESS);
    EXPECT_FALSE(Link().has_value());
    EXPECT_TRUE(SerialCommNames().empty());
    EXPECT_EQ(EnabledComPorts(), 0u);
    EXPECT_TRUE(BusRequests().empty());
}

// Another device holds COM5: this port's start fails and the other device keeps its link.
TEST_F(PortDeviceTest, DuplicateComNameKeepsTheOtherDevicesLink)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\??\\COM5"));
    RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(u"\\Device\\OtherSerial0"));
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    Reg().SetString(kSerialCommKey, u"\\Device\\OtherSerial0", u"COM5");

    EXPECT_NE(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Link(), std::optional<std::u16string>(u"\\Device\\OtherSerial0"));
    EXPECT_EQ(SerialCommNames(), std::vector<std::u16string>{u"\\Device\\OtherSerial0"});
    EXPECT_EQ(EnabledComPorts(), 0u);
    IoDeleteSymbolicLink(&link);
}

// A name changed while the port runs (a rename by the property pages) names the link removal deletes.
TEST_F(PortDeviceTest, RemovalDeletesTheLinkOfTheCurrentName)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    auto target = Link();
    ASSERT_TRUE(target.has_value());
    UNICODE_STRING oldLink;
    UNICODE_STRING newLink;
    UNICODE_STRING device;
    RtlInitUnicodeString(&oldLink, reinterpret_cast<PCWSTR>(u"\\??\\COM5"));
    RtlInitUnicodeString(&newLink, reinterpret_cast<PCWSTR>(u"\\??\\COM7"));
    RtlInitUnicodeString(&device, reinterpret_cast<PCWSTR>(target->c_str()));
    IoDeleteSymbolicLink(&oldLink);
    ASSERT_EQ(IoCreateSymbolicLink(&newLink, &device), STATUS_SUCCESS);
    Reg().SetString(HardwareKey(), u"PortName", u"COM7");

    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_FALSE(Link(u"\\??\\COM7").has_value());
}

TEST_F(PortDeviceTest, OneOpenAtATimeAndCloseDisconnects)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenPort();
    EXPECT_EQ(Port().CallsOf("Connect").size(), 1u);
    HANDLE second = Open();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Status(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS);
    ClosePort();
    EXPECT_EQ(Port().CallsOf("Disconnect").size(), 1u);
    EXPECT_EQ(Status(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_INVALID_DEVICE_REQUEST);
    OpenPort();
    EXPECT_EQ(Port().CallsOf("Connect").size(), 2u);
}

TEST_F(PortDeviceTest, ARefusedConnectFailsTheOpen)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Port().Fail("SetBaudRate");
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Port().CallsOf("Disconnect").size(), 1u);
    Port().Fail("SetBaudRate", false);
    OpenPort();
}

}  // namespace
}  // namespace portdrvtest
