// The uninstall utilities on the emulated machine: the access grant on a key tree the system keeps
// for SYSTEM (and putting the lists back), the version tests on each system, re-enumeration and
// the service utility.
#include <gtest/gtest.h>

#include <vector>

#include "cm/registry.h"
#include "cvserviceutil.h"
#include "io/driver_loader.h"
#include "machine_test.h"
#include "program.h"
#include "security_descriptor.h"
#include "setupapi_control.h"
#include "system_profile.h"
#include "uninstallutil.h"

namespace emu::testing {
namespace {

using process::Ace;
using process::Descriptor;

constexpr std::u16string_view kMachine = u"\\Registry\\Machine\\";
const std::u16string kTop = u"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001";

Descriptor SystemOnly()
{
    Descriptor descriptor;
    descriptor.owner = process::AdministratorsSid();
    descriptor.daclPresent = true;
    descriptor.dacl = std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, process::LocalSystemSid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, process::EveryoneSid()}};
    return descriptor;
}

class UninstallUtilTest : public MachineTest {
protected:
    Registry& Reg() { return machine().GetRegistry(); }
    // The tree: the top key, an instance, and a chain below it longer than 260 characters in all.
    std::vector<std::u16string> MakeTree()
    {
        std::vector<std::u16string> keys{kTop, kTop + u"\\5&1"};
        std::u16string deep = keys.back();
        for (int level = 0; level < 12; ++level) keys.push_back(deep += u"\\Level" + std::u16string(12, u'x'));
        for (const std::u16string& key : keys) {
            Reg().CreateKey(std::u16string(kMachine) + key);
            Reg().SetKeySecurity(std::u16string(kMachine) + key, process::SelfRelative(SystemOnly()));
        }
        EXPECT_GT(keys.back().size(), 260u);
        return keys;
    }
    bool AdministratorsMayDelete(const std::u16string& key)
    {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, DELETE | KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return false;
        RegCloseKey(handle);
        return true;
    }
};

TEST_F(UninstallUtilTest, TheGrantAddsAdministratorsToEveryListOfTheTreeAndTheListsComeBack)
{
    const std::vector<std::u16string> keys = MakeTree();
    CUninstallUtil util;
    CKeyAccessList saved;
    ASSERT_TRUE(util.GrantKeyAccessTree(kTop.c_str(), 0, &saved));
    EXPECT_EQ(saved.m_Entries.size(), keys.size());
    for (const std::u16string& key : keys) {
        EXPECT_TRUE(AdministratorsMayDelete(key));
        std::optional<Descriptor> now = process::ReadDescriptor(Reg().KeySecurity(std::u16string(kMachine) + key)->data());
        ASSERT_TRUE(now && now->dacl);
        ASSERT_EQ(now->dacl->size(), 3u) << "the old entries stay";
        for (const Ace& ace : *now->dacl) {
            if (ace.sid == process::EveryoneSid()) {
                EXPECT_EQ(ace.mask, static_cast<ACCESS_MASK>(KEY_READ)) << "never opened to everyone";
            }
        }
        EXPECT_EQ(now->dacl->back().sid, process::AdministratorsSid());
    }
    CKeyAccessList again;
    ASSERT_TRUE(util.GrantKeyAccessTree(kTop.c_str(), 0, &again));
    EXPECT_TRUE(again.m_Entries.empty()) << "a list that holds the entry already is left as it is";

    ASSERT_TRUE(util.RestoreKeyAccess(saved));
    for (const std::u16string& key : keys) {
        EXPECT_EQ(*process::ReadDescriptor(Reg().KeySecurity(std::u16string(kMachine) + key)->data()), SystemOnly());
        EXPECT_FALSE(AdministratorsMayDelete(key));
    }
}

TEST_F(UninstallUtilTest, AGrantTheTopKeyRefusesTouchesNothing)
{
    const std::vector<std::u16string> keys = MakeTree();
    process::ProgramScope user(std::make_shared<process::Program>(u"C:\\p.exe", true, process::Token::StandardUser()));
    CUninstallUtil util;
    CKeyAccessList saved;
    EXPECT_FALSE(util.GrantKeyAccessTree(kTop.c_str(), 0, &saved));
    EXPECT_TRUE(saved.m_Entries.empty());
    for (const std::u16string& key : keys)
        EXPECT_EQ(*process::ReadDescriptor(Reg().KeySecurity(std::u16string(kMachine) + key)->data()), SystemOnly());
}

struct VersionCase {
    process::VersionAnswer version;
    bool win2000OrLater, vistaOrLater, win2000, win98OrMe;
    size_t reenumerations;
};

class UninstallUtilVersionTest : public UninstallUtilTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(UninstallUtilVersionTest, VersionTestsAndTheRootsReenumerationFollowTheSystem)
{
    const VersionCase& c = GetParam();
    process::SystemProfile::Current().SetVersion(c.version);
    CUninstallUtil util;
    for (bool extendedFails : {false, true}) {
        process::SystemProfile::Current().FailVersionQueries(extendedFails, false);
        EXPECT_EQ(util.IsWindows2000OrLater() != FALSE, c.win2000OrLater);
        EXPECT_EQ(util.IsVistaOrLater() != FALSE, c.vistaOrLater);
        EXPECT_EQ(util.IsWindows2000() != FALSE, c.win2000);
        EXPECT_EQ(util.IsWin98OrMe() != FALSE, c.win98OrMe);
    }
    process::SystemProfile::Current().FailVersionQueries(true, true);
    EXPECT_FALSE(util.IsWindows2000OrLater()) << "both queries fail";
    process::SystemProfile::Current().FailVersionQueries(false, false);
    EXPECT_TRUE(util.ReenumerateRoot());
    EXPECT_EQ(setupapi::Reenumerations().size(), c.reenumerations);
}

INSTANTIATE_TEST_SUITE_P(Systems, UninstallUtilVersionTest,
                         ::testing::Values(VersionCase{process::versions::kWindows95, false, false, false, false, 2},
                                           VersionCase{process::versions::kWindows98, false, false, false, true, 2},
                                           VersionCase{process::versions::kWindowsMe, false, false, false, true, 2},
                                           VersionCase{process::versions::kWindowsNt4, false, false, false, false, 2},
                                           VersionCase{process::versions::kWindows2000, true, false, true, false, 1},
                                           VersionCase{process::versions::kWindowsXp, true, false, false, false, 2},
                                           VersionCase{process::versions::kWindowsVista, true, true, false, false, 2}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             const process::VersionAnswer& v = info.param.version;
                             return "Platform" + std::to_string(v.platform) + "_" + std::to_string(v.major) + "_" +
                                    std::to_string(v.minor);
                         });

void Unload(PDRIVER_OBJECT) {}
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

TEST_F(UninstallUtilTest, TheServiceUtilityReadsALongImagePathAndKeepsOneServiceOpen)
{
    DriverLoader& drivers = machine().GetDrivers();
    drivers.InstallBuiltInImage(u"Portdrv39.sys", Entry);
    drivers.CreateService(u"Portdrv39", u"Portdrv39.sys");
    drivers.CreateService(u"Enumdrv39", u"Enumdrv39.sys");
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(drivers.Load(u"Portdrv39", &driver), STATUS_SUCCESS);
    const std::u16string longPath = u"\\??\\C:\\" + std::u16string(2100, u'd') + u"\\Portdrv39.sys";
    Reg().SetString(DriverLoader::ServiceKeyPath(u"Portdrv39"), u"ImagePath", longPath, REG_EXPAND_SZ);

    CCVServiceUtil service;
    EXPECT_FALSE(service.IsRunning()) << "no service open";
    EXPECT_FALSE(service.Stop());
    EXPECT_TRUE(service.DeleteService()) << "nothing to delete";
    EXPECT_FALSE(service.OpenService(u"CVUVCP01", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.OpenService(u"ENUMDRV39", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.OpenService(u"portdrv39", SERVICE_ALL_ACCESS)) << "the first closes";
    ASSERT_TRUE(service.QueryConfig());
    EXPECT_EQ(service.GetImagePath().Text(), longPath);
    EXPECT_TRUE(service.IsRunning());
    EXPECT_TRUE(service.Stop());
    EXPECT_TRUE(service.DeleteService());
    EXPECT_FALSE(Reg().KeyExists(DriverLoader::ServiceKeyPath(u"Portdrv39")));
    EXPECT_TRUE(Reg().KeyExists(DriverLoader::ServiceKeyPath(u"Enumdrv39")));
}

}  // namespace
}  // namespace emu::testing
