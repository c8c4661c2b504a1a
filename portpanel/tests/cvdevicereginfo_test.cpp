// The device registry helper over SetupAPI: properties as text whatever their storage, and the
// hardware key's strings with their length limit.
#include <cstring>
#include <vector>

#include "cvdevicereginfo.h"
#include "port_device_fixture.h"

namespace emu::testing {
namespace {

std::vector<uint8_t> Utf16(std::u16string_view text, bool terminated)
{
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                               reinterpret_cast<const uint8_t*>(text.data() + text.size()));
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

TEST_F(PortDeviceTest, PropertiesReadAsTextWhateverTheirStorage)
{
    struct Case {
        const char* what;
        ULONG type;
        std::vector<uint8_t> data;
        BOOL ok;
        std::u16string text;
    } cases[] = {
        {"terminated text", REG_SZ, Utf16(u"Port (COM3)", true), TRUE, u"Port (COM3)"},
        {"text without terminator, odd size", REG_SZ, {'C', 0, 'O', 0, 'M'}, TRUE, u"CO"},
        {"multi-string", REG_MULTI_SZ, Utf16(std::u16string(u"FTDIBUS\\A\0FTDIBUS\\B\0", 21), false), TRUE, u"FTDIBUS\\A"},
        {"expandable text", REG_EXPAND_SZ, Utf16(u"%SystemRoot%", true), TRUE, u"%SystemRoot%"},
        {"two-byte number", REG_BINARY, {0x34, 0x12}, TRUE, u"4660"},
        {"double word", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, TRUE, u"4294967295"},
        {"empty text", REG_SZ, {}, TRUE, u""},
        {"unknown type", 11, {1, 2, 3, 4, 5, 6, 7, 8}, FALSE, u"unchanged"},
    };
    CCVDeviceRegInfo info(m_set, m_element);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Reg().SetValue(EnumKey(), u"FriendlyName", c.type, c.data));
        CString text(u"unchanged");
        EXPECT_EQ(info.GetFriendlyName(text), c.ok);
        EXPECT_EQ(text.Text(), c.text);
    }
    CString missing(u"unchanged");
    EXPECT_FALSE(info.GetClass(missing));
    EXPECT_EQ(missing, u"unchanged");
}

TEST_F(PortDeviceTest, WrittenPropertiesAndParametersReadBack)
{
    CCVDeviceRegInfo info(m_set, m_element);
    ASSERT_TRUE(info.SetFriendlyName(u"USB Serial Port (COM4)"));
    auto stored = Reg().GetValue(EnumKey(), u"FriendlyName");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->data, Utf16(u"USB Serial Port (COM4)", true));
    ASSERT_TRUE(info.SetDeviceParameterString(u"PortName", u"COM4"));
    EXPECT_EQ(Reg().GetValue(HardwareKey(), u"PortName")->data, Utf16(u"COM4", true));

    // A helper never closes the set: another one works on it after the first is gone.
    { CCVDeviceRegInfo gone(m_set, m_element); }
    CCVDeviceRegInfo other(m_set, m_element);
    CString text;
    ASSERT_TRUE(other.GetDeviceParameterString(u"PortName", text));
    EXPECT_EQ(text, u"COM4");
    ASSERT_TRUE(other.GetFriendlyName(text));
    EXPECT_EQ(text, u"USB Serial Port (COM4)");
    Reg().SetString(EnumKey(), u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0005");
    ASSERT_TRUE(other.GetDriverKey(text));
    EXPECT_EQ(text, u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0005");
}

TEST_F(PortDeviceTest, ParameterStringsOf150CharactersOrMoreCountAsMissing)
{
    struct Case {
        size_t characters;
        bool terminated;
        BOOL ok;
    } cases[] = {
        {149, true, TRUE},    // 300 bytes with the terminator: read whole
        {149, false, TRUE},   // 298 bytes: bounded by the data
        {150, true, FALSE},   // 302 bytes: larger than the buffer
        {150, false, FALSE},  // exactly 300 bytes and no terminator
        {0, true, TRUE},
    };
    CCVDeviceRegInfo info(m_set, m_element);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.characters) + (c.terminated ? " terminated" : " unterminated"));
        const std::u16string value(c.characters, u'x');
        Reg().SetValue(HardwareKey(), u"PortName", REG_SZ, Utf16(value, c.terminated));
        CString text(u"unchanged");
        EXPECT_EQ(info.GetDeviceParameterString(u"PortName", text), c.ok);
        EXPECT_EQ(text.Text(), c.ok ? value : u"unchanged");
    }
    CString text;
    EXPECT_FALSE(info.GetDeviceParameterString(u"NoSuchValue", text));
}

}  // namespace
}  // namespace emu::testing
