// The number of a COM name and of the hardware key's decimal texts, and the adapter model tables'
// look-ups.
#include <gtest/gtest.h>

#include <tuple>

#include "adaptermodels.h"
#include "comname.h"
#include "comportutil.h"
#include "devicenode.h"

namespace {

TEST(ComNameTest, NumbersAreReadAsTheCLibraryReadsThem)
{
    const std::pair<const char16_t*, int> decimals[] = {
        {u"1", 1}, {u" 1", 1}, {u"+1", 1}, {u"-1", -1}, {u"12abc", 12}, {u"abc", 0}, {u"", 0}, {u"99999999999", 2147483647},
    };
    for (const auto& [text, value] : decimals) EXPECT_EQ(ParseDecimal(text), value) << CString(text).GetLength();
    const std::pair<const char16_t*, DWORD> names[] = {{u"COM7", 7}, {u"COM255", 255}, {u"COM", 0}, {u"CO", 0}, {u"COMX", 0}};
    for (const auto& [name, number] : names) EXPECT_EQ(ComNumberOf(CString(name)), number);
    EXPECT_EQ(ComNameOf(89), CString(u"COM89"));
}

TEST(ComNameTest, ModelIdsAndTheModelTables)
{
    EXPECT_EQ(ModelIdOf(CString(u"usb\\Vid_0403&Pid_F0C1\\5&1&0")), CString(u"USB\\VID_0403&PID_F0C1"));
    EXPECT_EQ(ModelIdOf(CString(u"ROOT\\X")), CString(u"ROOT\\X"));
    CAdapterModelTablesOverride models({{u"USB\\VID_0403&PID_F0C1", 89}}, {u"VID_0403&PID_F0D0"});
    EXPECT_EQ(FixedComNumberOf(CString(u"USB\\VID_0403&PID_F0C1")), 89u);
    EXPECT_EQ(FixedComNumberOf(CString(u"USB\\VID_0403&PID_F0C1&MI_00")), 0u);  // compared whole
    const std::pair<const char16_t*, BOOL> listed[] = {
        {u"USB\\VID_0403&PID_F0D0\\5&1", TRUE}, {u"usb\\vid_0403&pid_f0d0&mi_01\\6&2", TRUE},
        {u"FTDIBUS\\VID_0403&PID_F0D0\\1", FALSE}, {u"USB\\VID_0403&PID_6001\\1", FALSE},
    };
    for (const auto& [id, expected] : listed) EXPECT_EQ(IsListedAdapterModel(CString(id)), expected);
}

// Only the trailing "(COMn)" of a friendly name changes; without one every occurrence does.
TEST(ComNameTest, ARenameChangesTheFriendlyNamesOwnSuffix)
{
    const std::tuple<const char16_t*, const char16_t*, const char16_t*, const char16_t*> cases[] = {
        {u"USB Serial Port (COM3)", u"COM3", u"COM7", u"USB Serial Port (COM7)"},
        {u"USB-COM232 (COM2)", u"COM2", u"COM7", u"USB-COM232 (COM7)"},
        {u"Port COM3", u"COM3", u"COM7", u"Port COM7"},
    };
    for (const auto& [name, from, to, renamed] : cases)
        EXPECT_EQ(RenamedFriendlyName(CString(name), CString(from), CString(to)), CString(renamed));
}

}  // namespace
