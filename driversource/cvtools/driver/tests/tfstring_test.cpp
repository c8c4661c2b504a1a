// Counted strings: size limits, the number reading, search and edit positions, concatenation,
// copies for callers, and no tracked block left behind.
#include <gtest/gtest.h>

#include <string>

#include "ex/pool.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfstring.h"

namespace {

using emu::PoolTag;

constexpr ULONG kTracked = PoolTag("TfKi");
constexpr ULONG kCopy = PoolTag("TfOC");

class StringTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        // Every string of the test is gone: none may have left a buffer behind.
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfLibraryRelease();
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Pool& pool() { return machine().GetPool(); }

    static std::u16string Wide(CTfString& s)
    {
        PWSTR p = s.m_GetWideBuffer();
        return p ? std::u16string(p, s.m_GetLength() / sizeof(WCHAR)) : std::u16string();
    }
    static std::string Ansi(CTfString& s)
    {
        PCHAR p = s.m_GetAnsiBuffer();
        return p ? std::string(p, s.m_GetAnsiLength()) : std::string();
    }
    // Both buffers present, terminated and in step with each other.
    static void ExpectText(CTfString& s, const std::string& text)
    {
        ASSERT_FALSE(s.m_IsEmpty());
        EXPECT_EQ(s.m_GetStatus(), STATUS_SUCCESS);
        EXPECT_EQ(Ansi(s), text);
        EXPECT_EQ(Wide(s), std::u16string(text.begin(), text.end()));
        EXPECT_EQ(s.m_GetWideBuffer()[text.size()], 0);
        EXPECT_EQ(s.m_GetAnsiBuffer()[text.size()], 0);
        EXPECT_GE(s.m_GetUnicodeString()->MaximumLength, s.m_GetLength() + sizeof(WCHAR));
    }
    static void ExpectEmpty(CTfString& s)
    {
        EXPECT_EQ(s.m_GetStatus(), STATUS_SUCCESS);
        EXPECT_TRUE(s.m_IsEmpty());
        EXPECT_EQ(s.m_GetLength(), 0);
        EXPECT_EQ(s.m_GetAnsiLength(), 0);
        EXPECT_EQ(s.m_GetWideBuffer(), nullptr);
        EXPECT_EQ(s.m_GetStatus(), STATUS_NOT_FOUND);
        EXPECT_EQ(s.m_GetAnsiBuffer(), nullptr);
        EXPECT_EQ(s.m_GetUnicodeString(), nullptr);
        EXPECT_FALSE(s.m_IsNumberValid());
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// ----- construction and assignment --------------------------------------------------------------

TEST_F(StringTest, ConstructionFromEachSource)
{
    CTfString empty(NonPagedPool);
    ExpectEmpty(empty);

    CTfString ansi(PagedPool, "COM3");
    ExpectText(ansi, "COM3");
    EXPECT_EQ(ansi.m_GetLength(), 8);
    EXPECT_EQ(ansi.m_GetPoolType(), PagedPool);

    CTfString wide(NonPagedPool, u"\\Device\\Serial0");
    ExpectText(wide, "\\Device\\Serial0");

    CTfString nullAnsi(PagedPool, static_cast<const CHAR*>(nullptr));
    ExpectEmpty(nullAnsi);
    CTfString nullWide(PagedPool, static_cast<const WCHAR*>(nullptr));
    ExpectEmpty(nullWide);
    CTfString emptyText(PagedPool, "");
    ExpectEmpty(emptyText);
}

TEST_F(StringTest, BuffersComeFromTheTrackerWithTheStringsPoolType)
{
    CTfString s(NonPagedPool, "abc");
    auto blocks = pool().LiveBlocks(kTracked);
    ASSERT_EQ(blocks.size(), 2u);
    for (const auto& block : blocks) EXPECT_EQ(block.type, NonPagedPool);
    EXPECT_TRUE(TfGetMemoryTracker()->m_IsRecorded(s.m_GetWideBuffer()));
    EXPECT_TRUE(TfGetMemoryTracker()->m_IsRecorded(s.m_GetAnsiBuffer()));
}

TEST_F(StringTest, CopyDuplicatesBuffersNumberAndValidFlag)
{
    CTfString decimal(PagedPool);
    decimal.m_AssignNumber(100, 10);  // reads as 0x100 but was made from 100
    CTfString copy(decimal);
    ExpectText(copy, "100");
    EXPECT_NE(copy.m_GetWideBuffer(), decimal.m_GetWideBuffer());
    EXPECT_EQ(copy.m_GetNumber(), 100);
    EXPECT_TRUE(copy.m_IsNumberValid());

    CTfString assigned(PagedPool, "x");
    assigned = decimal;
    ExpectText(assigned, "100");
    EXPECT_EQ(assigned.m_GetNumber(), 100);

    CTfString emptyCopy{CTfString(PagedPool)};
    ExpectEmpty(emptyCopy);
}

TEST_F(StringTest, FailedCopyLeavesAnEmptyStringWithNoMemory)
{
    CTfString source(PagedPool, "abc");
    pool().FailNextWithTag(kTracked);
    CTfString copy(source);
    EXPECT_EQ(copy.m_GetStatus(), STATUS_NO_MEMORY);
    EXPECT_TRUE(copy.m_IsEmpty());

    // The ANSI half failing takes the new wide half with it.
    pool().FailNth(3);  // converted text, wide buffer, ANSI buffer
    EXPECT_EQ(copy.m_AssignAnsi("abc"), STATUS_NO_MEMORY);
    EXPECT_EQ(pool().LiveCount(kTracked), 2u);  // only the source's
    EXPECT_TRUE(copy.m_IsEmpty());
}

TEST_F(StringTest, AssignmentFromItsOwnText)
{
    CTfString s(PagedPool, "Serial");
    s.m_Assign(s);
    ExpectText(s, "Serial");
    s.m_AssignWide(s.m_GetWideBuffer());
    ExpectText(s, "Serial");
    s.m_AssignAnsi(s.m_GetAnsiBuffer());
    ExpectText(s, "Serial");
    s.m_AssignUnicodeString(s.m_GetUnicodeString());
    ExpectText(s, "Serial");
}

TEST_F(StringTest, AssignFromCountedSources)
{
    CTfString s(PagedPool);
    WCHAR text[] = u"ABCDEF";
    UNICODE_STRING counted = {4, 12, text};  // "AB", not terminated
    EXPECT_EQ(s.m_AssignUnicodeString(&counted), STATUS_SUCCESS);
    ExpectText(s, "AB");

    UNICODE_STRING odd = {3, 12, text};
    EXPECT_EQ(s.m_AssignUnicodeString(&odd), STATUS_NO_MEMORY);
    EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);
    EXPECT_TRUE(s.m_IsEmpty());
}

TEST_F(StringTest, AssignLeftTakesACountedBuffer)
{
    CTfString s(PagedPool, "old");
    const char bytes[] = {'C', 'O', 'M', '1', '2'};  // not terminated
    EXPECT_TRUE(s.m_AssignLeft(bytes, 3));
    ExpectText(s, "COM");

    EXPECT_FALSE(s.m_AssignLeft(bytes, 0));
    EXPECT_EQ(s.m_GetStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(s.m_AssignLeft(static_cast<const CHAR*>(nullptr), 3));
    EXPECT_EQ(Ansi(s), "COM");

    const WCHAR wide[] = {u'P', u'o', u'r', u't'};
    EXPECT_TRUE(s.m_AssignLeft(wide, 6));
    ExpectText(s, "Por");
    EXPECT_FALSE(s.m_AssignLeft(wide, 3));  // odd byte count
    EXPECT_FALSE(s.m_AssignLeft(wide, 0));
    EXPECT_EQ(s.m_GetStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ansi(s), "Por");
}

TEST_F(StringTest, AssignGuidGivesTheRegistryForm)
{
    const GUID guid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    CTfString s(PagedPool);
    EXPECT_EQ(s.m_AssignGuid(guid), STATUS_SUCCESS);
    ExpectText(s, "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_FALSE(s.m_IsNumberValid());
}

// ----- limits -----------------------------------------------------------------------------------

TEST_F(StringTest, LongestTextIs32766Characters)
{
    std::u16string longest(TF_STRING_MAX_CHARS, u'x');
    std::u16string tooLong(TF_STRING_MAX_CHARS + 1, u'x');
    CTfString s(PagedPool);

    EXPECT_EQ(s.m_AssignWide(longest.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(s.m_GetLength(), 65532);
    EXPECT_EQ(s.m_GetUnicodeString()->MaximumLength, 65534);
    EXPECT_EQ(s.m_GetAnsiLength(), 32766);

    EXPECT_EQ(s.m_AssignWide(tooLong.c_str()), STATUS_NO_MEMORY);
    EXPECT_TRUE(s.m_IsEmpty());
    EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);

    UNICODE_STRING counted = {65532, 65534, longest.data()};
    EXPECT_EQ(s.m_AssignUnicodeString(&counted), STATUS_SUCCESS);
    UNICODE_STRING overlong = {65534, 65534, tooLong.data()};  // valid for the run-time, too long here
    EXPECT_EQ(s.m_AssignUnicodeString(&overlong), STATUS_NO_MEMORY);
    EXPECT_TRUE(s.m_IsEmpty());

    EXPECT_TRUE(s.m_AssignLeft(longest.data(), 65532));
    EXPECT_FALSE(s.m_AssignLeft(tooLong.data(), 65534));
    EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);

    std::string ansiLongest(TF_STRING_MAX_CHARS, 'y');
    std::string ansiTooLong(TF_STRING_MAX_CHARS + 1, 'y');
    EXPECT_EQ(s.m_AssignAnsi(ansiLongest.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(s.m_GetLength(), 65532);
    EXPECT_EQ(s.m_AssignAnsi(ansiTooLong.c_str()), STATUS_NO_MEMORY);
    EXPECT_TRUE(s.m_IsEmpty());
    EXPECT_FALSE(s.m_AssignLeft(ansiTooLong.data(), TF_STRING_MAX_CHARS + 1));
}

TEST_F(StringTest, ConcatenationPastTheLimitKeepsTheOldText)
{
    std::string base(TF_STRING_MAX_CHARS - 4, 'a');
    CTfString s(PagedPool, base.c_str());

    EXPECT_EQ(s.m_AppendAnsi("bcdef"), STATUS_NO_MEMORY);
    EXPECT_EQ(s.m_GetAnsiLength(), base.size());
    EXPECT_EQ(s.m_PrependWide(u"bcdef"), STATUS_NO_MEMORY);
    EXPECT_EQ(s.m_AppendNumber(0x12345, 16), STATUS_NO_MEMORY);
    EXPECT_EQ(s.m_Append(s), STATUS_NO_MEMORY);
    EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);
    EXPECT_EQ(Ansi(s), base);

    EXPECT_EQ(s.m_AppendAnsi("bcde"), STATUS_SUCCESS);
    EXPECT_EQ(s.m_GetLength(), 65532);
    EXPECT_EQ(s.m_AppendAnsi('z'), STATUS_NO_MEMORY);
}

// ----- the number -------------------------------------------------------------------------------

struct NumberCase {
    const char* text;
    bool valid;
    LONG number;
};

class StringNumberTest : public StringTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(StringNumberTest, TextIsReadAsOneHexadecimalNumber)
{
    CTfString s(PagedPool, GetParam().text);
    EXPECT_EQ(s.m_IsNumberValid(), GetParam().valid ? TRUE : FALSE) << GetParam().text;
    if (GetParam().valid) {
        EXPECT_EQ(s.m_GetNumber(), GetParam().number) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, StringNumberTest,
                         ::testing::Values(NumberCase{"1A", true, 26}, NumberCase{"1a", true, 26},
                                           NumberCase{"COM", false, 0},  // the run-time reads "C" as 12
                                           NumberCase{"", false, 0}, NumberCase{"1A ", false, 0},
                                           NumberCase{"0x1A", false, 0}, NumberCase{"-", false, 0},
                                           NumberCase{"  -1f", true, -31},
                                           NumberCase{"FFFFFFFF", true, -1}, NumberCase{"0", true, 0}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(StringTest, NumberFollowsEveryChange)
{
    CTfString s(PagedPool, "1");
    EXPECT_EQ(s.m_GetNumber(), 1);
    s.m_AppendAnsi("A");
    EXPECT_EQ(s.m_GetNumber(), 26);
    s.m_PrependAnsi("G");
    EXPECT_FALSE(s.m_IsNumberValid());
    s.m_DeleteChar(1);
    EXPECT_TRUE(s.m_IsNumberValid());
    EXPECT_EQ(s.m_GetNumber(), 26);
}

TEST_F(StringTest, AssignNumberInDecimalOrHexadecimal)
{
    CTfString s(PagedPool);
    EXPECT_EQ(s.m_AssignNumber(4294967295u, 10), STATUS_SUCCESS);
    ExpectText(s, "4294967295");
    EXPECT_TRUE(s.m_IsNumberValid());
    EXPECT_EQ(s.m_GetNumber(), -1);

    s.m_AssignNumber(4294967295u, 16);
    ExpectText(s, "FFFFFFFF");
    s.m_AssignNumber(0xAB, 16);
    ExpectText(s, "AB");
    s.m_AssignNumber(0xAB, 8);  // any radix but 10 is hexadecimal
    ExpectText(s, "AB");
    s.m_AssignNumber(0, 10);
    ExpectText(s, "0");
    s.m_AssignNumber(1200, 10);
    ExpectText(s, "1200");
    EXPECT_EQ(s.m_GetNumber(), 1200);
}

// ----- concatenation ----------------------------------------------------------------------------

TEST_F(StringTest, AppendAndPrependEachKind)
{
    CTfString s(PagedPool);
    EXPECT_EQ(s.m_AppendAnsi("COM"), STATUS_SUCCESS);  // to the empty string: the source text
    ExpectText(s, "COM");
    s.m_AppendNumber(12, 10);
    ExpectText(s, "COM12");
    s.m_PrependWide(u"\\DosDevices\\");
    ExpectText(s, "\\DosDevices\\COM12");
    s.m_AppendWide(u'#');
    s.m_AppendAnsi('!');
    ExpectText(s, "\\DosDevices\\COM12#!");

    CTfString t(PagedPool, "ab");
    ANSI_STRING counted = {1, 1, const_cast<PCHAR>("xyz")};
    EXPECT_EQ(t.m_Concatenate(TF_CONCAT_ANSI_STRING, &counted, 0, 0, TRUE), STATUS_SUCCESS);
    ExpectText(t, "xab");
    WCHAR buffer[] = u"12345";
    UNICODE_STRING unicode = {4, 10, buffer};
    EXPECT_EQ(t.m_Concatenate(TF_CONCAT_UNICODE_STRING, &unicode, 0, 0, FALSE), STATUS_SUCCESS);
    ExpectText(t, "xab12");
    EXPECT_EQ(t.m_Concatenate(TF_CONCAT_NUMBER, nullptr, 255, 16, TRUE), STATUS_SUCCESS);
    ExpectText(t, "FFxab12");
    t.m_Append(t);
    ExpectText(t, "FFxab12FFxab12");
}

TEST_F(StringTest, NullOrEmptySourceChangesNothing)
{
    CTfString s(PagedPool, "text");
    EXPECT_EQ(s.m_AppendAnsi(static_cast<const CHAR*>(nullptr)), STATUS_SUCCESS);
    EXPECT_EQ(s.m_PrependWide(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(s.m_Concatenate(TF_CONCAT_STRING, nullptr, 0, 0, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(s.m_AppendWide(u""), STATUS_SUCCESS);
    CTfString queried(PagedPool);
    queried.m_GetWideBuffer();  // leaves STATUS_NOT_FOUND in the source
    EXPECT_EQ(s.m_Append(queried), STATUS_SUCCESS);
    ExpectText(s, "text");

    CTfString empty(PagedPool);
    EXPECT_EQ(empty.m_AppendAnsi(""), STATUS_SUCCESS);
    EXPECT_EQ(empty.m_Append(empty), STATUS_SUCCESS);
    ExpectEmpty(empty);
}

TEST_F(StringTest, BadKindOrFailedAllocationKeepsTheText)
{
    CTfString s(PagedPool, "keep");
    EXPECT_EQ(s.m_Concatenate(7, "x", 0, 0, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(s.m_Concatenate(0, "x", 0, 0, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ansi(s), "keep");

    // Each allocation of an append in turn: the source's three, the result's two.
    for (size_t nth = 1; nth <= 5; ++nth) {
        pool().FailNth(nth);
        EXPECT_EQ(s.m_AppendAnsi("more"), STATUS_NO_MEMORY) << nth;
        EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);
        EXPECT_EQ(Ansi(s), "keep");
    }
    pool().ClearFaults();
}

// ----- queries ----------------------------------------------------------------------------------

TEST_F(StringTest, EqualityIsCaseSensitiveAndNullEqualsOnlyEmpty)
{
    CTfString s(PagedPool, "Serial");
    CTfString same(PagedPool, "Serial");
    CTfString other(PagedPool, "SERIAL");
    CTfString empty(PagedPool);
    EXPECT_TRUE(s.m_IsEqual(same));
    EXPECT_FALSE(s.m_IsEqual(other));
    EXPECT_FALSE(s.m_IsEqual(static_cast<PCUNICODE_STRING>(nullptr)));
    EXPECT_TRUE(empty.m_IsEqual(static_cast<PCUNICODE_STRING>(nullptr)));
    EXPECT_FALSE(empty.m_IsEqual(s));
    EXPECT_TRUE(empty.m_IsEqual(CTfString(PagedPool, "")));

    empty.m_GetWideBuffer();
    EXPECT_EQ(empty.m_GetStatus(), STATUS_NOT_FOUND);
    empty.m_IsEqual(s);
    EXPECT_EQ(empty.m_GetStatus(), STATUS_SUCCESS);
}

// ----- searching --------------------------------------------------------------------------------

TEST_F(StringTest, FindPatternWithPositionsAndStopCharacter)
{
    CTfString text(PagedPool, "USB\\VID_0403&PID_6001&MI_01");
    CTfString mi(PagedPool, "MI_");
    CTfString pid(PagedPool, "PID_");
    CTfString last(PagedPool, "I_01");
    CTfString empty(PagedPool);

    ULONG pos = 0;
    EXPECT_FALSE(text.m_Find(&pos, mi, 0));  // position 0 is no position
    pos = 1;
    EXPECT_FALSE(text.m_Find(&pos, empty, 0));
    EXPECT_EQ(pos, 1u);

    EXPECT_TRUE(text.m_Find(&pos, mi, 0));
    EXPECT_EQ(pos, 23u);
    pos = 1;
    EXPECT_TRUE(text.m_Find(&pos, last, 0));  // only at the last possible position
    EXPECT_EQ(pos, 24u);
    pos = 25;
    EXPECT_FALSE(text.m_Find(&pos, last, 0));

    // The stop character ends the search before a later match.
    pos = 1;
    EXPECT_FALSE(text.m_Find(&pos, pid, '&'));
    pos = 14;
    EXPECT_TRUE(text.m_Find(&pos, pid, '&'));
    EXPECT_EQ(pos, 14u);
    // A pattern holding the stop character fails at once.
    CTfString amp(PagedPool, "&PID");
    pos = 1;
    EXPECT_FALSE(text.m_Find(&pos, amp, '&'));

    CTfString nothing(PagedPool);
    pos = 1;
    EXPECT_FALSE(nothing.m_Find(&pos, mi, 0));
    CTfString longer(PagedPool, "USB\\VID_0403&PID_6001&MI_01X");
    EXPECT_FALSE(text.m_Find(&pos, longer, 0));
}

TEST_F(StringTest, FindCharacterFromPosition)
{
    CTfString s(PagedPool, "a\\b\\c");
    ULONG pos = 0;
    EXPECT_FALSE(s.m_FindChar(&pos, '\\'));
    pos = 1;
    EXPECT_TRUE(s.m_FindChar(&pos, '\\'));
    EXPECT_EQ(pos, 2u);
    pos = 3;
    EXPECT_TRUE(s.m_FindChar(&pos, '\\'));
    EXPECT_EQ(pos, 4u);
    pos = 5;
    EXPECT_FALSE(s.m_FindChar(&pos, '\\'));
    pos = 0xFFFFFFFF;
    EXPECT_FALSE(s.m_FindChar(&pos, '\\'));

    CTfString empty(PagedPool);
    pos = 1;
    EXPECT_FALSE(empty.m_FindChar(&pos, 'a'));
}

// ----- editing ----------------------------------------------------------------------------------

TEST_F(StringTest, DeleteCharacters)
{
    CTfString s(PagedPool, "\\{36FC9E60}\\0001");
    EXPECT_FALSE(s.m_DeleteChar(0));
    EXPECT_FALSE(s.m_DeleteChar(17));
    EXPECT_TRUE(s.m_DeleteChar(1));
    ExpectText(s, "{36FC9E60}\\0001");

    EXPECT_FALSE(s.m_Delete(1, 0));
    EXPECT_FALSE(s.m_Delete(0, 1));
    EXPECT_FALSE(s.m_Delete(14, 3));           // runs past the end
    EXPECT_FALSE(s.m_Delete(2, 0xFFFFFFFF));   // would wrap in 32 bits
    EXPECT_FALSE(s.m_Delete(0xFFFFFFFF, 2));
    ExpectText(s, "{36FC9E60}\\0001");
    EXPECT_TRUE(s.m_Delete(11, 5));
    ExpectText(s, "{36FC9E60}");
    EXPECT_TRUE(s.m_Delete(1, 10));
    ExpectEmpty(s);
}

TEST_F(StringTest, DeletingTheOnlyCharacterGivesTheEmptyString)
{
    CTfString s(PagedPool, "X");
    EXPECT_TRUE(s.m_DeleteChar(1));
    ExpectEmpty(s);
    EXPECT_FALSE(s.m_DeleteChar(1));
}

TEST_F(StringTest, ToUpperChangesOnlyAToZ)
{
    CTfString s(PagedPool, u"cvgendrv_{4d36e978}\u00e9z");
    EXPECT_EQ(s.m_ToUpper(), STATUS_SUCCESS);
    EXPECT_EQ(Wide(s), u"CVGENDRV_{4D36E978}\u00e9Z");
    EXPECT_EQ(Ansi(s).substr(0, 19), "CVGENDRV_{4D36E978}");

    CTfString empty(PagedPool);
    EXPECT_EQ(empty.m_ToUpper(), STATUS_SUCCESS);
    ExpectEmpty(empty);
}

// ----- copies for callers -----------------------------------------------------------------------

TEST_F(StringTest, CopiesAreUntrackedBlocksTheCallerFrees)
{
    CTfString s(PagedPool, "COM7");
    PWSTR pWide = nullptr;
    ASSERT_EQ(s.m_Duplicate(&pWide), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(pWide), u"COM7");
    auto copies = pool().LiveBlocks(kCopy);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].size, 10u);
    EXPECT_FALSE(TfGetMemoryTracker()->m_IsRecorded(pWide));
    ExFreePool(pWide);

    ASSERT_EQ(s.m_DuplicateWithRoom(&pWide), STATUS_SUCCESS);
    EXPECT_EQ(pool().LiveBlocks(kCopy).at(0).size, 12u);
    EXPECT_EQ(pWide[4], 0);
    EXPECT_EQ(pWide[5], 0);  // the room is zero-filled
    ExFreePool(pWide);

    ASSERT_EQ(s.m_CopyToNewBuffer(&pWide, 7), STATUS_SUCCESS);
    EXPECT_EQ(pool().LiveBlocks(kCopy).at(0).size, 17u);
    for (int i = 8; i < 17; ++i) EXPECT_EQ(reinterpret_cast<UCHAR*>(pWide)[i], 0) << i;
    ExFreePool(pWide);

    PCHAR pAnsi = nullptr;
    ASSERT_EQ(s.m_DuplicateAnsi(&pAnsi), STATUS_SUCCESS);
    EXPECT_STREQ(pAnsi, "COM7");
    EXPECT_EQ(pool().LiveBlocks(kCopy).at(0).size, 5u);
    ExFreePool(pAnsi);
    ASSERT_EQ(s.m_CopyToNewAnsiBuffer(&pAnsi, 3), STATUS_SUCCESS);
    EXPECT_EQ(pool().LiveBlocks(kCopy).at(0).size, 8u);
    ExFreePool(pAnsi);
    EXPECT_EQ(pool().LiveCount(kCopy), 0u);
}

TEST_F(StringTest, CopyOfEmptyStringOrWithoutPoolGivesNull)
{
    CTfString empty(PagedPool);
    PWSTR pWide = reinterpret_cast<PWSTR>(0x1);
    EXPECT_EQ(empty.m_Duplicate(&pWide), STATUS_NOT_FOUND);
    EXPECT_EQ(pWide, nullptr);
    PCHAR pAnsi = reinterpret_cast<PCHAR>(0x1);
    EXPECT_EQ(empty.m_DuplicateAnsi(&pAnsi), STATUS_NOT_FOUND);
    EXPECT_EQ(pAnsi, nullptr);

    CTfString s(PagedPool, "abc");
    pool().FailNextWithTag(kCopy);
    EXPECT_EQ(s.m_Duplicate(&pWide), STATUS_NO_MEMORY);
    EXPECT_EQ(pWide, nullptr);
    EXPECT_EQ(s.m_GetStatus(), STATUS_NO_MEMORY);
    EXPECT_EQ(Ansi(s), "abc");
}

}  // namespace
