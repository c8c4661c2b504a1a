// The INF reader: the syntax real INF files use.
#include <gtest/gtest.h>

#include "inf_file.h"
#include "inf_store.h"

namespace emu::setup {
namespace {

TEST(InfFileTest, ReadsSectionsKeysQuotedFieldsContinuationsAndStrings)
{
    const InfFile inf = InfFile::Parse(u"TEST.INF", std::string_view(R"([Version]
Signature = "$Windows NT$"   ; a comment
Class=Ports
[Strings]
Maker = "The ""Maker"", Ltd."
Desc  = "USB Serial Port"
[Models]
%Desc% = Install, USB\VID_1234&PID_0001, \
         USB\VID_1234&PID_0002
[Install.HW]
AddReg = A
[A]
HKR,,PortName,,"COM;1"
HKR,Sub,Percent,,"100%%"
HKR,,Path,,"%12%\x.sys"
HKR,,Unknown,,%NoSuchString%
[version]
DriverVer = 01/02/2026,1.0.0.0
)"));
    EXPECT_EQ(inf.Value(u"VERSION", u"signature"), u"$Windows NT$");
    EXPECT_EQ(inf.Value(u"Version", u"Class"), u"Ports");
    // A section that appears twice is one section.
    EXPECT_EQ(inf.Value(u"Version", u"DriverVer"), u"01/02/2026");
    ASSERT_EQ(inf.Lines(u"Models").size(), 1u);
    const InfLine& model = inf.Lines(u"Models")[0];
    EXPECT_EQ(model.key, u"USB Serial Port");
    EXPECT_EQ(model.fields, (std::vector<std::u16string>{u"Install", u"USB\\VID_1234&PID_0001", u"USB\\VID_1234&PID_0002"}));
    const auto& entries = inf.Lines(u"A");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].fields, (std::vector<std::u16string>{u"HKR", u"", u"PortName", u"", u"COM;1"}));
    EXPECT_EQ(entries[1].Field(4), u"100%");
    EXPECT_EQ(entries[2].Field(4), u"C:\\WINDOWS\\system32\\drivers\\x.sys");
    EXPECT_EQ(entries[3].Field(4), u"%NoSuchString%");
    EXPECT_EQ(inf.Values(u"Install.HW", u"AddReg"), std::vector<std::u16string>{u"A"});
    EXPECT_FALSE(inf.HasSection(u"Missing"));
    EXPECT_TRUE(inf.Lines(u"Missing").empty());
}

TEST(InfFileTest, QuotedStringsKeepTheirQuotesAndCommasUntilSubstituted)
{
    const InfFile inf = InfFile::Parse(u"Q.INF", std::string_view("[Strings]\nS = \"a, b = c\"\n[X]\nkey = %S%, \"d,e\"\n"));
    EXPECT_EQ(inf.Lines(u"X")[0].fields, (std::vector<std::u16string>{u"a, b = c", u"d,e"}));
}

constexpr std::string_view kTwoMakers = R"([Version]
Class = Ports
ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}
Provider = Maker
[Manufacturer]
Maker = Models, NTamd64
[Models]
Old = OldInstall, ACME\OLD
[Models.NTamd64]
Port = PortInstall, ACME\PORT, ACME\GENERIC
Generic = GenericInstall, ACME\GENERIC
[PortInstall.NTamd64]
[PortInstall.NTamd64.Services]
AddService = PortSvc, 0x00000002, PortSvc_Service
AddService = Other, 0, Other_Service
)";

TEST(InfStoreTest, SelectsTheBestRankedModelFromTheDecoratedSections)
{
    InfStore store;
    store.Add(InfFile::Parse(u"A.INF", kTwoMakers));
    // A hardware ID beats a compatible ID, and an earlier hardware ID a later one.
    struct Case {
        std::vector<std::u16string> hardware, compatible;
        const char16_t* section;
        const char16_t* matching;
    } cases[] = {
        {{u"ACME\\PORT"}, {}, u"PortInstall.NTamd64", u"ACME\\PORT"},
        {{u"acme\\generic", u"ACME\\PORT"}, {}, u"PortInstall.NTamd64", u"ACME\\GENERIC"},
        {{u"ACME\\NONE"}, {u"ACME\\GENERIC"}, u"PortInstall.NTamd64", u"ACME\\GENERIC"},
        {{u"ACME\\OLD"}, {}, nullptr, nullptr},  // only in the undecorated section, which x64 skips
    };
    for (const Case& c : cases) {
        std::optional<DriverInstallInfo> driver = store.SelectDriver(c.hardware, c.compatible);
        if (!c.section) {
            EXPECT_FALSE(driver);
            continue;
        }
        ASSERT_TRUE(driver);
        EXPECT_EQ(driver->installSection, c.section);
        EXPECT_EQ(driver->matchingId, c.matching);
        EXPECT_EQ(driver->service, u"PortSvc");
        EXPECT_EQ(driver->className, u"Ports");
        EXPECT_EQ(driver->description, u"Port");
    }
    EXPECT_EQ(store.Models().size(), 3u);
    EXPECT_TRUE(store.Remove(u"a.inf"));
    EXPECT_FALSE(store.SelectDriver({u"ACME\\PORT"}, {}));
}

}  // namespace
}  // namespace emu::setup
