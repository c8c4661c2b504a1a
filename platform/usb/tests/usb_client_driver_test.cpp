// A plain WDM client driver image on the host's PDOs: bound by hardware ID, it configures its device
// with the usbd helpers it links, streams bulk IN data, and meets an unplug with a transfer pending
// and a request sent during the surprise removal. Its pool blocks are its own: an unfreed
// select-configuration URB would be reported when it unloads.
#include <gtest/gtest.h>

#include <numeric>

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "pnp/pnp_manager.h"
#include "usb_test_support.h"

namespace emu::testing {
namespace {

class UsbClientDriverTest : public UsbHostTest {
protected:
    void SetUp() override
    {
        UsbHostTest::SetUp();
        machine().GetDrivers().InstallImage(u"usbclient.sys", EMU_USBCLIENT_IMAGE);
        machine().GetDrivers().CreateService(u"usbclient", u"usbclient.sys");
    }
    std::optional<ULONG> Value(const std::u16string& instancePath, const char16_t* name)
    {
        return machine().GetRegistry().GetDword(
            std::u16string(kEnumKeyPath) + u"\\" + instancePath + u"\\Device Parameters", name);
    }
};

TEST_F(UsbClientDriverTest, TheDriverConfiguresStreamsAndMeetsTheUnplugOnADeviceOrAFunction)
{
    struct Case {
        const char* name;
        ScriptedUsbDevice::Description description;
        std::u16string bound;
        uint8_t inEndpoint;
        int function;  // -1: the device itself
    };
    const Case cases[] = {
        {"single-interface device", ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), u"USB\\VID_0403&PID_6001", 0x81, -1},
        {"second function of a composite device", ScriptedUsbDevice::TwoInterfaces(0x0403, 0x6010),
         u"USB\\VID_0403&PID_6010&MI_01", 0x83, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine().GetPnp().BindService(c.bound, u"usbclient");
        usb::UsbDevice* device = nullptr;
        auto model = PlugScripted(c.description, &device);
        PDEVICE_OBJECT pdo = c.function < 0 ? device->Pdo() : device->FunctionPdo(static_cast<uint8_t>(c.function));
        std::optional<DeviceNodeInfo> node = machine().GetPnp().FindNode(pdo);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->service, u"usbclient");
        EXPECT_EQ(node->state, DeviceNodeState::Started);
        EXPECT_EQ(Value(node->instancePath, u"Configured"), 1u);
        EXPECT_EQ(Value(node->instancePath, u"VendorId"), 0x0403u);

        std::vector<uint8_t> bytes(100);
        std::iota(bytes.begin(), bytes.end(), 0);
        model->QueueInBytes(c.inEndpoint, bytes);  // 64 + 36: two transfers of the driver's
        for (int i = 0; i < 1000 && model->InPacketsGiven(c.inEndpoint) < 2; ++i) Settle();
        EXPECT_EQ(model->InPacketsGiven(c.inEndpoint), 2u);

        Host().Unplug(*device);
        EXPECT_FALSE(machine().GetPnp().FindNode(node->instancePath));
        EXPECT_EQ(Value(node->instancePath, u"InBytes"), 100u);
        EXPECT_EQ(Value(node->instancePath, u"InFinalStatus"), ULONG(STATUS_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(Value(node->instancePath, u"SurpriseUrbStatus"), ULONG(USBD_STATUS_DEVICE_GONE));
        EXPECT_EQ(Value(node->instancePath, u"SurpriseStatus"), ULONG(STATUS_DEVICE_NOT_CONNECTED));
        EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"usbclient"));
        machine().GetPnp().UnbindService(c.bound);
    }
}

}  // namespace
}  // namespace emu::testing
