// Plugging devices into the host: their nodes below the root hub, with the identity Windows gives
// them from their descriptors, the composite splitter's functions, and unplugging.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pnp/pnp_manager.h"
#include "usb_test_support.h"

namespace emu::testing {
namespace {

using Ids = std::vector<std::u16string>;

class UsbEnumerationTest : public UsbHostTest {
protected:
    PnpManager& Pnp() { return machine().GetPnp(); }
};

TEST_F(UsbEnumerationTest, DeviceNodesTakeTheirIdentityFromTheDescriptors)
{
    struct Case {
        const char* name;
        ScriptedUsbDevice::Description description;
        unsigned port;
        Ids hardwareIds;
        Ids compatibleIds;
        std::u16string instancePrefix;  // the instance path, up to the part the PnP manager makes unique
        std::u16string description_;
    };
    ScriptedUsbDevice::Description serial = ScriptedUsbDevice::SingleInterface(0x0403, 0x6001);
    serial.serialNumber = u"FT4XK2QA";
    ScriptedUsbDevice::Description modem = ScriptedUsbDevice::SingleInterface(0x1234, 0xABCD);
    modem.deviceClass = 2;
    modem.release = 0x0101;
    modem.product.clear();
    const Case cases[] = {
        {"vendor interface, no serial", ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), 2,
         {u"USB\\VID_0403&PID_6001&REV_0600", u"USB\\VID_0403&PID_6001"},
         {u"USB\\Class_ff&SubClass_ff&Prot_ff", u"USB\\Class_ff&SubClass_ff", u"USB\\Class_ff"},
         u"USB\\VID_0403&PID_6001\\6&", u"Scripted USB device"},
        {"serial number", serial, 1,
         {u"USB\\VID_0403&PID_6001&REV_0600", u"USB\\VID_0403&PID_6001"},
         {u"USB\\Class_ff&SubClass_ff&Prot_ff", u"USB\\Class_ff&SubClass_ff", u"USB\\Class_ff"},
         u"USB\\VID_0403&PID_6001\\FT4XK2QA", u"Scripted USB device"},
        {"device class", modem, 3,
         {u"USB\\VID_1234&PID_ABCD&REV_0101", u"USB\\VID_1234&PID_ABCD"},
         {u"USB\\Class_02&SubClass_00&Prot_00", u"USB\\Class_02&SubClass_00", u"USB\\Class_02"},
         u"USB\\VID_1234&PID_ABCD\\6&", u"USB Device"},
        {"composite", ScriptedUsbDevice::TwoInterfaces(0x0403, 0x6010), 4,
         {u"USB\\VID_0403&PID_6010&REV_0700", u"USB\\VID_0403&PID_6010"},
         {u"USB\\DevClass_00&SubClass_00&Prot_00", u"USB\\DevClass_00&SubClass_00", u"USB\\DevClass_00",
          u"USB\\COMPOSITE"},
         u"USB\\VID_0403&PID_6010\\6&", u"Scripted USB device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        usb::UsbDevice* device = nullptr;
        PlugScripted(c.description, &device, c.port);
        ASSERT_NE(device, nullptr);
        std::optional<DeviceNodeInfo> node = Pnp().FindNode(device->Pdo());
        ASSERT_TRUE(node);
        EXPECT_EQ(node->parentPdo, Host().RootHubPdo());
        EXPECT_EQ(node->hardwareIds, c.hardwareIds);
        EXPECT_EQ(node->compatibleIds, c.compatibleIds);
        EXPECT_EQ(node->instancePath.substr(0, c.instancePrefix.size()), c.instancePrefix);
        EXPECT_EQ(node->description, c.description_);
        const std::u16string port = u"Port_#000" + std::u16string(1, static_cast<char16_t>(u'0' + c.port)) + u".Hub_#0001";
        EXPECT_EQ(node->location, port);
        ASSERT_TRUE(node->hasBusInformation);
        EXPECT_EQ(node->busInformation.BusTypeGuid.Data1, 0x9D7DEBBCu);
    }
}

TEST_F(UsbEnumerationTest, CompositeFunctionsAreChildrenThatSeeOnlyTheirOwnInterface)
{
    usb::UsbDevice* device = nullptr;
    PlugScripted(ScriptedUsbDevice::TwoInterfaces(0x0403, 0x6010), &device);
    std::optional<DeviceNodeInfo> parent = Pnp().FindNode(device->Pdo());
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->service, u"usbccgp");
    EXPECT_EQ(parent->state, DeviceNodeState::Started);
    std::vector<DeviceNodeInfo> functions = Pnp().Children(device->Pdo());
    ASSERT_EQ(functions.size(), 2u);
    for (uint8_t number : {0, 1}) {
        SCOPED_TRACE(number);
        const std::u16string mi = number == 0 ? u"&MI_00" : u"&MI_01";
        PDEVICE_OBJECT pdo = device->FunctionPdo(number);
        std::optional<DeviceNodeInfo> function = Pnp().FindNode(pdo);
        ASSERT_TRUE(function);
        EXPECT_EQ(function->deviceId, u"USB\\VID_0403&PID_6010" + mi);
        EXPECT_EQ(function->hardwareIds, (Ids{u"USB\\VID_0403&PID_6010&REV_0700" + mi, u"USB\\VID_0403&PID_6010" + mi}));
        EXPECT_EQ(function->compatibleIds,
                  (Ids{u"USB\\Class_ff&SubClass_ff&Prot_ff", u"USB\\Class_ff&SubClass_ff", u"USB\\Class_ff"}));
        // Its configuration descriptor: one interface, its own, and that interface's endpoints.
        std::vector<uint8_t> configuration = ConfigurationDescriptor(pdo);
        ASSERT_EQ(configuration.size(), 9u + 9u + 7u + 7u);
        EXPECT_EQ(configuration[4], 1);  // bNumInterfaces
        EXPECT_EQ(configuration[9 + 2], number);
        EXPECT_EQ(configuration[18 + 2], number == 0 ? 0x81 : 0x83);
    }
}

TEST_F(UsbEnumerationTest, UnplugTakesTheNodesOutAndThePortCanBeUsedAgain)
{
    usb::UsbDevice* composite = nullptr;
    PlugScripted(ScriptedUsbDevice::TwoInterfaces(0x0403, 0x6010), &composite, 1);
    std::optional<DeviceNodeInfo> parent = Pnp().FindNode(composite->Pdo());
    ASSERT_TRUE(parent);
    const std::u16string parentPath = parent->instancePath;
    const std::u16string functionPath = Pnp().Children(composite->Pdo()).at(0).instancePath;

    Host().Unplug(*composite);
    EXPECT_FALSE(Pnp().FindNode(parentPath));
    EXPECT_FALSE(Pnp().FindNode(functionPath));
    EXPECT_TRUE(Pnp().Children(Host().RootHubPdo()).empty());
    EXPECT_EQ(Host().DeviceAt(1), nullptr);

    usb::UsbDevice* again = nullptr;
    PlugScripted(ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), &again, 1);
    EXPECT_EQ(again->Port(), 1u);
    EXPECT_EQ(Pnp().Children(Host().RootHubPdo()).size(), 1u);
}

TEST_F(UsbEnumerationTest, APortInUseOrUnusableDescriptorsRefuseThePlug)
{
    PlugScripted(ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), nullptr, 1);
    EXPECT_EQ(Host().Plug(std::make_shared<ScriptedUsbDevice>(ScriptedUsbDevice::SingleInterface(0x0403, 0x6001)), 1),
              nullptr);
    ScriptedUsbDevice::Description broken = ScriptedUsbDevice::SingleInterface(0x0403, 0x6001);
    broken.maxPacketSize0 = 7;  // no such control packet size
    EXPECT_EQ(Host().Plug(std::make_shared<ScriptedUsbDevice>(broken), 2), nullptr);
    EXPECT_EQ(Pnp().Children(Host().RootHubPdo()).size(), 1u);
}

}  // namespace
}  // namespace emu::testing
