// The driver store through SetupCopyOEMInfW, SetupUninstallOEMInfW and
// UpdateDriverForPlugAndPlayDevicesW, as Setup and the Remover call them.
#include <gtest/gtest.h>

#include <newdev.h>
#include <setupapi.h>

#include "driver_store.h"
#include "file_system.h"
#include "setupapi_fixture.h"
#include "system_profile.h"

namespace emu::testing {
namespace {

using files::FileSystem;
using setupapi::DriverStore;

class DriverStoreTest : public SetupApiTest {
protected:
    std::u16string Copy(std::u16string_view source, DWORD style = 0)
    {
        WCHAR destination[MAX_PATH] = {};
        PWSTR component = nullptr;
        DWORD required = 0;
        if (!SetupCopyOEMInfW(std::u16string(source).c_str(), nullptr, SPOST_PATH, style, destination, MAX_PATH,
                              &required, &component))
            return u"error " + std::u16string(1, static_cast<WCHAR>(u'0' + (GetLastError() % 10)));
        EXPECT_EQ(required, std::u16string_view(destination).size() + 1);
        EXPECT_EQ(std::u16string_view(destination).substr(0, 15), u"C:\\WINDOWS\\Inf\\");
        return component;
    }
};

TEST_F(DriverStoreTest, AnInfIsCopiedOnceAsTheLowestFreeOemNameWithItsPnf)
{
    FileSystem& files = FileSystem::Current();
    files.WriteText(u"C:\\Media\\ENUMDRV.INF", u"[Version]\r\nClass=USB\r\n");
    files.WriteText(u"C:\\Media\\PORTDRV.INF", u"[Version]\r\nClass=Ports\r\n");
    files.WriteText(u"C:\\WINDOWS\\Inf\\oem0.inf", u"someone else's");
    EXPECT_EQ(Copy(u"C:\\Media\\ENUMDRV.INF"), u"oem1.inf");
    EXPECT_TRUE(files.Exists(u"C:\\WINDOWS\\Inf\\OEM1.PNF"));
    EXPECT_EQ(Copy(u"C:\\Media\\ENUMDRV.INF"), u"oem1.inf") << "the same bytes are in the store already";
    EXPECT_EQ(Copy(u"C:\\Media\\ENUMDRV.INF", SP_COPY_NOOVERWRITE), u"error 0") << "ERROR_FILE_EXISTS (80)";
    EXPECT_EQ(Copy(u"C:\\Media\\PORTDRV.INF"), u"oem2.inf");
    EXPECT_EQ(Copy(u"C:\\Media\\MISSING.INF"), u"error 2");

    DriverStore::Current().MarkBroken(u"C:\\Media\\PORTDRV.INF", ERROR_WRONG_INF_STYLE);
    files.WriteText(u"C:\\Media\\PORTDRV.INF", u"changed");
    EXPECT_FALSE(SetupCopyOEMInfW(u"C:\\Media\\PORTDRV.INF", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
}

TEST_F(DriverStoreTest, UninstallTakesABareNameAndKeepsAnInfDevicesUseUnlessForced)
{
    FileSystem& files = FileSystem::Current();
    files.WriteText(u"C:\\Media\\ENUMDRV.INF", u"bus");
    ASSERT_EQ(Copy(u"C:\\Media\\ENUMDRV.INF"), u"oem0.inf");
    Reg().SetString(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\\0003",
                    u"InfPath", u"oem0.inf");
    EXPECT_FALSE(SetupUninstallOEMInfW(u"C:\\WINDOWS\\Inf\\oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetupUninstallOEMInfW(u"OEM0.INF", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES));
    EXPECT_TRUE(SetupUninstallOEMInfW(u"OEM0.INF", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(files.Exists(u"C:\\WINDOWS\\Inf\\oem0.inf"));
    EXPECT_FALSE(files.Exists(u"C:\\WINDOWS\\Inf\\oem0.pnf"));
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    process::SystemProfile::Current().SetVersion(process::versions::kWindows2000);
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem1.inf", SUOI_FORCEDELETE, nullptr)) << "Windows 2000 has no such call";
}

TEST_F(DriverStoreTest, ADriverUpdateReachesEveryPresentDeviceWithTheIdThroughTheInstaller)
{
    FileSystem::Current().WriteText(u"C:\\Media\\PORTDRV.INF", u"ports");
    std::vector<std::u16string> installed;
    DriverStore::Current().SetInstaller([&](const std::u16string& device, const std::u16string& inf) {
        installed.push_back(device);
        EXPECT_EQ(inf, u"C:\\Media\\PORTDRV.INF");
        return DWORD{0};
    });
    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"pnptest\\child", u"C:\\Media\\PORTDRV.INF", 0, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(installed.size(), 2u);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"USB\\VID_0403&PID_6001", u"C:\\Media\\PORTDRV.INF", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"pnptest\\child", u"C:\\Media\\NONE.INF", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(DriverStore::Current().Updates().size(), 2u) << "a missing INF is refused before any device";
    EXPECT_FALSE(DriverStore::Current().Updates()[1].result);
}

}  // namespace
}  // namespace emu::testing
