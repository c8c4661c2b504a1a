// Run-time library: strings, numbers, GUIDs and the bounded string routines.
#include <ntstrsafe.h>
#include <wdm.h>

#include <cstring>
#include <string>

#include "ex/pool.h"
#include "rtl/rtl_text.h"
#include "machine_test.h"

namespace emu {
namespace {

class RtlTest : public testing::MachineTest {
protected:
    size_t LiveStrings() { return machine().GetPool().LiveCount(kRtlStringTag); }
};

UNICODE_STRING Wide(const char16_t* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

TEST(RtlMemoryTest, CompareMemoryCountsEqualLeadingBytes)
{
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcxef", 6), 3u);
    EXPECT_EQ(RtlCompareMemory("abc", "abc", 3), 3u);
    EXPECT_EQ(RtlCompareMemory("abc", "xbc", 3), 0u);
    EXPECT_EQ(RtlCompareMemory(nullptr, nullptr, 0), 0u);
}

TEST(RtlInitTest, LengthsAreCappedInsteadOfWrapping)
{
    UNICODE_STRING s = Wide(u"COM3");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    s = Wide(nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    std::u16string huge(40000, u'x');
    s = Wide(huge.c_str());
    EXPECT_EQ(s.Length, 0xFFFC);
    EXPECT_EQ(s.MaximumLength, 0xFFFE);

    std::string hugeAnsi(70000, 'x');
    ANSI_STRING a;
    RtlInitAnsiString(&a, hugeAnsi.c_str());
    EXPECT_EQ(a.Length, 0xFFFE);
    EXPECT_EQ(a.MaximumLength, 0xFFFF);
}

TEST_F(RtlTest, AnsiToUnicodeIntoCallerBuffer)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "caf\xE9");  // Latin-1 e acute
    WCHAR buffer[5];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&dest, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"caf\u00E9");
    EXPECT_EQ(buffer[4], 0);

    // One character short of room for the terminator: refused, nothing changed.
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING small{0, 8, buffer};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&small, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.Length, 0);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(RtlAnsiStringToUnicodeSize(&source), 10u);
}

TEST_F(RtlTest, ConversionsAllocateFromPoolAndFree)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "Port");
    UNICODE_STRING wide{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(wide), u"Port");
    EXPECT_EQ(wide.MaximumLength, 10);
    EXPECT_EQ(LiveStrings(), 1u);

    ANSI_STRING back{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer), "Port");
    EXPECT_EQ(LiveStrings(), 2u);
    RtlFreeUnicodeString(&wide);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(LiveStrings(), 0u);

    machine().GetPool().FailNextWithTag(kRtlStringTag);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &source, TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlTest, UnicodeToAnsiUsesTheSingleByteCodePage)
{
    UNICODE_STRING source = Wide(u"A\u00FC\u0100z");
    char buffer[5];
    ANSI_STRING dest{0, sizeof buffer, buffer};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&dest, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, dest.Length), "A\xFC?z");
    EXPECT_EQ(buffer[4], 0);
    ANSI_STRING small{0, 4, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&small, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlUnicodeStringToAnsiSize(&source), 5u);
}

TEST(RtlCompareTest, EqualCompareAndPrefix)
{
    UNICODE_STRING a = Wide(u"Services"), b = Wide(u"SERVICES"), c = Wide(u"Serv");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&c, &a, FALSE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&c, &b, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&c, &b, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&a, &c, TRUE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'q'), u'Q');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00E9'), u'\u00C9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');
}

TEST(RtlEditTest, AppendCopyAndUpcaseStayInsideTheBuffer)
{
    WCHAR buffer[8];
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    UNICODE_STRING com = Wide(u"com");
    ASSERT_EQ(RtlAppendUnicodeStringToString(&dest, &com), STATUS_SUCCESS);
    ASSERT_EQ(RtlAppendUnicodeToString(&dest, u"12"), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"com12");
    // Three more characters would fill all 16 bytes; four do not fit and change nothing.
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"3456"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"com12");
    ASSERT_EQ(RtlAppendUnicodeToString(&dest, u"345"), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 16);

    ASSERT_EQ(RtlUpcaseUnicodeString(&dest, &dest, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"COM12345");

    WCHAR small[3];
    UNICODE_STRING cut{0, sizeof small, small};
    RtlCopyUnicodeString(&cut, &dest);
    EXPECT_EQ(Text(cut), u"COM");
    RtlCopyUnicodeString(&cut, nullptr);
    EXPECT_EQ(cut.Length, 0);
}

TEST(RtlValidateTest, RejectsMalformedCountedStrings)
{
    WCHAR buffer[4] = {};
    UNICODE_STRING good{4, 8, buffer};
    EXPECT_EQ(RtlUnicodeStringValidate(&good), STATUS_SUCCESS);
    UNICODE_STRING odd{3, 8, buffer}, over{10, 8, buffer}, noBuffer{2, 4, nullptr}, tooLong{0, 0xFFFF, buffer};
    for (UNICODE_STRING* bad : {&odd, &over, &noBuffer, &tooLong})
        EXPECT_EQ(RtlUnicodeStringValidate(bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringValidate(nullptr), STATUS_INVALID_PARAMETER);
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringValidate(&empty), STATUS_SUCCESS);
}

TEST(RtlNumberTest, UnicodeStringToIntegerIsLenient)
{
    struct Case {
        const char16_t* text;
        ULONG base;
        ULONG value;
    } cases[] = {
        {u"1A", 16, 26},        {u"COM", 16, 12},      {u" -5", 10, 0u - 5},   {u"\t+678abc", 10, 678},
        {u"+678abc", 16, 0x678ABC}, {u"xyz", 10, 0},   {u"0x1F", 0, 31},       {u"0x1F", 16, 0},
        {u"0o17", 0, 15},       {u"0b101", 0, 5},      {u"12", 0, 12},         {u"9", 8, 0},
        {u"4294967295", 10, 4294967295u}, {u"   ", 10, 0},
    };
    for (const Case& c : cases) {
        UNICODE_STRING s = Wide(c.text);
        ULONG value = 12345;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS) << std::string(NarrowText(c.text));
        EXPECT_EQ(value, c.value) << NarrowText(c.text) << " base " << c.base;
    }
    UNICODE_STRING s = Wide(u"10");
    ULONG value = 7;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 3, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 7u);
    UNICODE_STRING empty = Wide(u"");
    EXPECT_EQ(RtlUnicodeStringToInteger(&empty, 10, &value), STATUS_INVALID_PARAMETER);

    // Only the counted characters are read.
    UNICODE_STRING counted{2, 8, const_cast<PWCH>(u"1234")};
    ASSERT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    ASSERT_EQ(RtlCharToInteger("  0x10", 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 16u);
    ASSERT_EQ(RtlCharToInteger("\xA0" "5", 10, &value), STATUS_SUCCESS);  // 0xA0 is no blank
    EXPECT_EQ(value, 0u);
}

TEST(RtlNumberTest, IntegerToUnicodeStringDigitsAndOverflow)
{
    WCHAR buffer[33];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"4294967295");
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"FFFFFFFF");
    ASSERT_EQ(RtlIntegerToUnicodeString(0x2A, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"2A");
    ASSERT_EQ(RtlIntegerToUnicodeString(0, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"0");
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 64);
    EXPECT_EQ(buffer[32], 0);
    ASSERT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"10");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);

    // Ten digits need 22 bytes with the terminator.
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING tight{0, 20, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &tight), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tight.Length, 0);
    EXPECT_EQ(buffer[0], u'#');
    tight.MaximumLength = 22;
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &tight), STATUS_SUCCESS);
}

const GUID kGuid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

TEST_F(RtlTest, GuidTextRoundTrip)
{
    UNICODE_STRING text{};
    ASSERT_EQ(RtlStringFromGUID(kGuid, &text), STATUS_SUCCESS);
    EXPECT_EQ(Text(text), u"{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(text.Buffer[38], 0);
    EXPECT_EQ(LiveStrings(), 1u);
    GUID back{};
    ASSERT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, kGuid));
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(LiveStrings(), 0u);

    UNICODE_STRING lower = Wide(u"{4d36e978-e325-11ce-bfc1-08002be10318}");
    ASSERT_EQ(RtlGUIDFromString(&lower, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, kGuid));

    machine().GetPool().FailNth(1);
    EXPECT_EQ(RtlStringFromGUID(kGuid, &text), STATUS_NO_MEMORY);
}

TEST(RtlGuidTest, MalformedTextIsRefusedAndLeavesTheGuid)
{
    const char16_t* bad[] = {
        u"4D36E978-E325-11CE-BFC1-08002BE10318",     // no braces
        u"{4D36E978-E325-11CE-BFC1-08002BE10318",    // one brace
        u"{4D36E978-E325-11CE-BFC1-08002BE103181}",  // too long
        u"{4D36E978-E325-11CE-BFC1-08002BE1031G}",   // not hex
        u"{4D36E978E-325-11CE-BFC1-08002BE10318}",   // hyphen moved
        u"{4D36E978-E325-11CE-BFC108-002BE10318}",
        u"{ D36E978-E325-11CE-BFC1-08002BE10318}",
        u"",
    };
    for (const char16_t* text : bad) {
        UNICODE_STRING s = Wide(text);
        GUID guid = kGuid;
        EXPECT_EQ(RtlGUIDFromString(&s, &guid), STATUS_INVALID_PARAMETER) << NarrowText(text);
        EXPECT_TRUE(IsEqualGUID(guid, kGuid));
    }
}

TEST(SafeStringTest, PrintfFollowsWindowsArgumentSizes)
{
    char out[128];
    UNICODE_STRING name = Wide(u"COM7 and more");
    name.Length = 8;  // "%wZ" reads the counted characters only
    ASSERT_EQ(RtlStringCbPrintfA(out, sizeof out, "%d|%ld|%lu|%08x|%X|%I64d|%lld|%%|%c", -5, (LONG)-6, (ULONG)0xFFFFFFFF,
                                 0xBEEFu, 0xABCu, (LONGLONG)-7000000000LL, 1LL << 40, 'z'),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "-5|-6|4294967295|0000beef|ABC|-7000000000|1099511627776|%|z");
    ASSERT_EQ(RtlStringCbPrintfA(out, sizeof out, "[%s][%ws][%S][%wZ][%5s][%-3s|][%.2s]", "ab", u"wide", u"W\u0100",
                                 &name, "r", "l", "cut"),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "[ab][wide][W?][COM7][    r][l  |][cu]");
    ASSERT_EQ(RtlStringCbPrintfA(out, sizeof out, "%p", (void*)0xABCDEF), STATUS_SUCCESS);
    EXPECT_STREQ(out, "0000000000ABCDEF");
}

TEST(SafeStringTest, NullStringsPrintAsNull)
{
    char out[64];
    ASSERT_EQ(RtlStringCbPrintfA(out, sizeof out, "%s/%ws/%wZ", (const char*)nullptr, (const WCHAR*)nullptr,
                                 (PUNICODE_STRING) nullptr),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "(null)/(null)/(null)");
}

TEST(SafeStringTest, OutputIsCutAndAlwaysTerminated)
{
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(RtlStringCbPrintfA(out, 5, "hello %s", "world"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(out, "hell");
    EXPECT_EQ(out[5], '#');
    EXPECT_EQ(RtlStringCchPrintfA(out, 6, "%d", 12345), STATUS_SUCCESS);
    EXPECT_STREQ(out, "12345");

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(RtlStringCbPrintfA(out, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(RtlStringCbPrintfA(out, sizeof out, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out[0], 0);
}

TEST(SafeStringTest, CopyCatAndLength)
{
    char out[8];
    EXPECT_EQ(RtlStringCbCopyA(out, sizeof out, "Enum"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatA(out, sizeof out, "drv"), STATUS_SUCCESS);
    EXPECT_STREQ(out, "Enumdrv");
    EXPECT_EQ(RtlStringCbCatA(out, sizeof out, "X"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(out, "Enumdrv");
    EXPECT_EQ(RtlStringCbCopyA(out, sizeof out, "123456789"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(out, "1234567");
    size_t length = 99;
    EXPECT_EQ(RtlStringCbLengthA(out, sizeof out, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 7u);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RtlStringCbLengthA(unterminated, sizeof unterminated, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbCatA(unterminated, sizeof unterminated, "x"), STATUS_INVALID_PARAMETER);

    WCHAR wide[6];
    EXPECT_EQ(RtlStringCchCopyW(wide, 6, u"COM"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(wide, sizeof wide, u"123"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"COM12");
    EXPECT_EQ(RtlStringCbLengthW(wide, sizeof wide, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(RtlStringCchLengthW(wide, 6, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 5u);
}

}  // namespace
}  // namespace emu
