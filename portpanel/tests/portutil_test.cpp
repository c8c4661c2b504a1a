// The COM-name utilities against the machine's COM database, DOS names, registry and device tree.
#include <fileapi.h>

#include "dos_devices.h"
#include "ob/object_namespace.h"
#include "port_device_fixture.h"
#include "portutil.h"
#include "setupapi_control.h"

namespace emu::testing {
namespace {

constexpr std::u16string_view kSerialComm = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";
constexpr std::u16string_view kPortsKey = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr std::u16string_view kTarget = u"\\Device\\CvTestPort0";

class PortUtilTest : public PortDeviceTest {
protected:
    void SetUp() override
    {
        PortDeviceTest::SetUp();
        m_driver.SetDispatch(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) {
            return TestDriver::Complete(irp, m_held ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
        });
        m_driver.SetDispatch(IRP_MJ_CLOSE, [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
        m_driver.SetDispatch(IRP_MJ_CLEANUP, [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
        ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM3", std::u16string(kTarget).c_str()));
        Reg().SetString(kSerialComm, kTarget, u"COM3");
    }
    std::u16string Target(const char16_t* name)
    {
        WCHAR buffer[256];
        return QueryDosDeviceW(name, buffer, 256) ? std::u16string(buffer) : std::u16string(u"<none>");
    }
    std::u16string SerialCommName()
    {
        auto value = Reg().GetValue(kSerialComm, kTarget);
        return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
    }

    bool m_held = false;
    CPortUtil m_util;
};

TEST_F(PortUtilTest, DatabaseQueriesAnswerOnlyForAnOpenDatabaseAndValidNumbers)
{
    EXPECT_FALSE(m_util.IsPortFree(5));  // not open yet
    CStringList list;
    m_util.BuildComNumberList(u"COM3", list);
    EXPECT_TRUE(list.empty());
    ASSERT_TRUE(m_util.OpenComDB());
    EXPECT_TRUE(m_util.ClaimPort(3, FALSE));
    BOOL forced = TRUE;
    EXPECT_TRUE(m_util.ClaimPort(4, FALSE, &forced));
    EXPECT_FALSE(forced);
    EXPECT_FALSE(m_util.ClaimPort(4, FALSE, &forced));
    EXPECT_TRUE(m_util.ClaimPort(4, TRUE, &forced));
    EXPECT_TRUE(forced);
    EXPECT_FALSE(m_util.IsPortFree(0));
    EXPECT_FALSE(m_util.IsPortFree(257));
    EXPECT_TRUE(m_util.IsPortFree(256));
    EXPECT_FALSE(m_util.IsPortFree(4));

    m_util.BuildComNumberList(u"COM3", list);
    ASSERT_EQ(list.size(), 255u);
    EXPECT_EQ(list[0], u"COM1");
    EXPECT_EQ(list[2], u"COM3");
    EXPECT_EQ(list[3], u"COM4 (in use)");
    EXPECT_EQ(list[254], u"COM255");
    setupapi::FailNextCall(setupapi::SetupCall::ComDbGetCurrentPortUsage, ERROR_NOT_ENOUGH_MEMORY);
    m_util.BuildComNumberList(u"COM3", list);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(m_util.ReleasePort(4));
    EXPECT_TRUE(m_util.IsPortFree(4));

    EXPECT_TRUE(m_util.CloseComDB());
    EXPECT_FALSE(m_util.IsPortFree(4));
    m_util.BuildComNumberList(u"COM3", list);
    EXPECT_TRUE(list.empty());
}

TEST_F(PortUtilTest, APortOpensUnlessHeldOrUnknown)
{
    EXPECT_EQ(m_util.CanOpenPort(u"COM3"), 1);
    m_held = true;
    EXPECT_EQ(m_util.CanOpenPort(u"COM3"), 0);
    m_held = false;
    EXPECT_EQ(m_util.CanOpenPort(u"COM9"), 0);
}

TEST_F(PortUtilTest, RenameMovesTheLinkAndTheSerialCommEntry)
{
    EXPECT_EQ(m_util.RenamePort(u"COM3", u"COM5"), 1);
    EXPECT_EQ(Target(u"COM5"), kTarget);
    EXPECT_EQ(Target(u"COM3"), u"<none>");
    EXPECT_EQ(SerialCommName(), u"COM5");
    EXPECT_EQ(m_util.RenamePort(u"COM3", u"COM6"), 0);  // no such name any more
}

TEST_F(PortUtilTest, AFailedRenameLeavesTheOldNameWorking)
{
    win32::FailNextDosDeviceDefinitions(1);
    EXPECT_EQ(m_util.RenamePort(u"COM3", u"COM5"), 0);
    EXPECT_EQ(Target(u"COM3"), kTarget);
    EXPECT_EQ(Target(u"COM5"), u"<none>");

    // The SERIALCOMM entry cannot be written: the link goes back too.
    for (RegistryCall call : {RegistryCall::OpenKey, RegistryCall::SetValueKey}) {
        Reg().FailNextCall(call, STATUS_ACCESS_DENIED);
        EXPECT_EQ(m_util.RenamePort(u"COM3", u"COM5"), 0);
        EXPECT_EQ(Target(u"COM3"), kTarget);
        EXPECT_EQ(Target(u"COM5"), u"<none>");
        EXPECT_EQ(SerialCommName(), u"COM3");
        EXPECT_EQ(m_util.CanOpenPort(u"COM3"), 1);
    }
}

TEST_F(PortUtilTest, RestartRetriesWithTheConfigurationScopeAndMarksPendingChanges)
{
    setupapi::FailNextCall(setupapi::SetupCall::SetClassInstallParams, ERROR_INVALID_FLAGS);
    EXPECT_EQ(m_util.DisableDevice(m_set, &m_element), 1);
    EXPECT_EQ(m_util.EnableDevice(m_set, &m_element), 1);
    const auto changes = setupapi::PropertyChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].stateChange, static_cast<DWORD>(DICS_DISABLE));
    EXPECT_EQ(changes[0].scope, static_cast<DWORD>(DICS_FLAG_CONFIGSPECIFIC));
    EXPECT_EQ(changes[1].stateChange, static_cast<DWORD>(DICS_ENABLE));
    EXPECT_EQ(changes[1].scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(m_set, &m_element, &params));
    EXPECT_TRUE(params.Flags & DI_PROPERTIES_CHANGE);
    EXPECT_FALSE(params.FlagsEx & DI_FLAGSEX_PROPCHANGE_PENDING);
    EXPECT_EQ(m_util.SetPropChangePending(m_set, &m_element), 1);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(m_set, &m_element, &params));
    EXPECT_TRUE(params.FlagsEx & DI_FLAGSEX_PROPCHANGE_PENDING);

    EXPECT_EQ(m_util.ReenumerateDevNode(u""), 1);
    EXPECT_EQ(m_util.ReenumerateDevNode(std::u16string(kPortInstance).c_str()), 1);
    EXPECT_EQ(m_util.ReenumerateDevNode(u"ROOT\\NOTHERE\\0000"), 0);
    EXPECT_EQ(setupapi::Reenumerations(),
              (std::vector<std::u16string>{setupapi::kRootInstancePath, std::u16string(kPortInstance)}));
    HDEVINFO set = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(m_util.GetClassDevices(nullptr, &set, DIGCF_ALLCLASSES));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(m_util.GetClassDevices(nullptr, &set, DIGCF_PRESENT));
}

TEST_F(PortUtilTest, PortsValueSpellsTheSettings)
{
    struct Case {
        DWORD baud, dataBits, parity, stopBits, flow;
        const char16_t* text;  // null: refused
    } cases[] = {
        {9600, 3, 0, 0, 0, u"9600,n,8,1"},    {115200, 0, 1, 1, 1, u"115200,o,5,1.5,p"},
        {300, 1, 2, 2, 2, u"300,e,6,2,p"},    {1200, 2, 3, 0, 4, u"1200,m,7,1,x"},
        {2400, 3, 4, 0, 0, u"2400,s,8,1"},    {9600, 3, 0, 0, 3, nullptr},
        {9600, 4, 0, 0, 0, nullptr},          {9600, 3, 5, 0, 0, nullptr},
        {9600, 3, 0, 3, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? std::string(c.text, c.text + std::u16string_view(c.text).size()) : "refused");
        Reg().DeleteValue(kPortsKey, u"COM5:");
        EXPECT_EQ(m_util.WritePortSettings(u"COM5", c.baud, c.dataBits, c.parity, c.stopBits, c.flow), c.text != nullptr);
        auto value = Reg().GetValue(kPortsKey, u"COM5:");
        if (!c.text) {
            EXPECT_FALSE(value);
            continue;
        }
        ASSERT_TRUE(value);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value->data.data())), c.text);
    }
}

}  // namespace
}  // namespace emu::testing
