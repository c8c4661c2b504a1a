#include "setupapi_fixture.h"

#include "io/driver_loader.h"
#include "rtl/rtl_text.h"

namespace emu::testing {

void SetupApiTest::SetUp()
{
    MachineTest::SetUp();
    DriverLoader& drivers = machine().GetDrivers();
    drivers.InstallImage(u"pnptest.sys", EMU_PNPTEST_IMAGE);
    drivers.InstallImage(u"pnptest2.sys", EMU_PNPTEST2_IMAGE);
    drivers.CreateService(u"PnpBus", u"pnptest.sys");
    drivers.CreateService(u"PnpFun", u"pnptest2.sys");
    Pnp().BindService(u"ROOT\\PNPTESTBUS", u"PnpBus");
    Pnp().BindService(u"PNPTEST\\CHILD", u"PnpFun", kTestPortsClass);
    m_root.SetDispatch(IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        bool handled = minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
                       minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
                       minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_STOP_DEVICE ||
                       minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
        return TestDriver::Complete(irp, handled ? STATUS_SUCCESS : irp->IoStatus.Status, irp->IoStatus.Information);
    });
    m_pdo = m_root.CreateDevice();
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kTestBusInstance) + u"\\Device Parameters",
                   u"ChildCount", 2);
    ASSERT_EQ(Pnp().AddRootDevice(kTestBusInstance, {u"ROOT\\PNPTESTBUS"}, m_pdo), STATUS_SUCCESS);
    ASSERT_EQ(Children().size(), 2u);
}

void SetupApiTest::TearDown()
{
    for (UNICODE_STRING& link : m_links) RtlFreeUnicodeString(&link);
    MachineTest::TearDown();
}

std::u16string SetupApiTest::RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string_view reference)
{
    std::u16string text(reference);
    UNICODE_STRING referenceString;
    RtlInitUnicodeString(&referenceString, text.c_str());
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &guid, &referenceString, &link), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    m_links.push_back(link);
    return std::u16string(View(&link));
}

bool SetupApiTest::FindElement(HDEVINFO set, std::u16string_view instancePath, SP_DEVINFO_DATA& data)
{
    for (DWORD index = 0;; ++index) {
        data = SP_DEVINFO_DATA{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set, index, &data)) return false;
        WCHAR id[200];
        if (SetupDiGetDeviceInstanceIdW(set, &data, id, 200, nullptr) && EqualNoCase(id, instancePath)) return true;
    }
}

}  // namespace emu::testing
