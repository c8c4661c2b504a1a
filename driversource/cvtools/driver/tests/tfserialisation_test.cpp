// Information set wire format, reading untrusted data, roll-back, and the add operations.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ex/pool.h"
#include "machine_test.h"
#include "tfinformationset.h"
#include "tfmemorytracker.h"
#include "tfregistryinformationset.h"
#include "tfserialisation.h"

namespace {

using Bytes = std::vector<UCHAR>;
using emu::Violation;

class InformationSetTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        TfLibraryRelease();
        MachineTest::TearDown();
    }

    size_t TrackedBlocks() { return machine().GetPool().LiveCount(emu::PoolTag("TfKi")); }
};

// The set of the worked examples: a number and a string.
struct PortSet {
    ULONG ulBaud = 9600;
    CTfString Port{NonPagedPool, "COM3"};
    CTfRegistryInformationSet Set;

    PortSet()
    {
        EXPECT_TRUE(Set.m_AddDwordEntry(u"BaudRate", &ulBaud, 9600, NULL));
        EXPECT_TRUE(Set.m_AddStringEntry(u"PortName", &Port, "COM1", NULL));
    }
    std::string PortText() { return Port.m_IsEmpty() ? std::string() : std::string(Port.m_GetAnsiBuffer()); }
};

Bytes Serialise(CTfInformationSet& set, ULONG ulFlags)
{
    Bytes bytes(set.GetSerialisedSize(ulFlags));
    EXPECT_TRUE(set.Serialise(bytes.data(), (ULONG)bytes.size(), ulFlags));
    return bytes;
}

void PutUlong(Bytes& bytes, ULONG ulValue)
{
    for (int i = 0; i < 4; ++i) bytes.push_back((UCHAR)(ulValue >> (8 * i)));
}

struct ReferenceVector {
    ULONG ulFlags;
    ULONG ulSetIdentifier;
    Bytes expected;
};

const ReferenceVector kReferenceVectors[] = {
    {0x03, 0, {0x80, 0x25, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x43, 0x4F, 0x4D, 0x33, 0x00}},
    {0x1F, 7, {0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0x80, 0x25, 0x00, 0x00, 0x04, 0x08, 0x00,
               0x00, 0x00, 0x43, 0x00, 0x4F, 0x00, 0x4D, 0x00, 0x33, 0x00, 0x00, 0x00}},
};

TEST_F(InformationSetTest, WritesAndReadsTheReferenceVectorsByteForByte)
{
    for (const ReferenceVector& vector : kReferenceVectors) {
        SCOPED_TRACE(vector.ulFlags);
        PortSet writer;
        writer.Set.m_GetSerialisation()->SetSetIdentifier(vector.ulSetIdentifier);
        EXPECT_EQ(vector.expected.size(), writer.Set.GetSerialisedSize(vector.ulFlags));
        EXPECT_EQ(vector.expected, Serialise(writer.Set, vector.ulFlags));
        EXPECT_EQ(3u, writer.Set.m_GetSerialisation()->GetFlags());  // used for the call only

        PortSet reader;
        reader.ulBaud = 1;
        ASSERT_EQ(STATUS_SUCCESS, reader.Port.m_AssignAnsi("other"));
        reader.Set.m_GetSerialisation()->SetSetIdentifier(vector.ulSetIdentifier);
        Bytes data = vector.expected;
        EXPECT_TRUE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), vector.ulFlags));
        EXPECT_EQ(9600u, reader.ulBaud);
        EXPECT_EQ("COM3", reader.PortText());
        EXPECT_EQ(3u, reader.Set.m_GetSerialisation()->GetFlags());
    }
}

TEST_F(InformationSetTest, AcceptsOnlyFlagsBelow32WithATerminatorOrALength)
{
    CTfSerialisation serialisation;
    for (ULONG ulFlags : {0u, 4u, 8u, 0x1Cu, 32u, 0x23u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(ulFlags);
        EXPECT_FALSE(serialisation.SetFlags(ulFlags));
        EXPECT_EQ(1u, Take(Violation::AssertReport));
        EXPECT_EQ(3u, serialisation.GetFlags());
    }
    for (ULONG ulFlags : {1u, 2u, 3u, 0x1Fu, 3u}) {
        EXPECT_TRUE(serialisation.SetFlags(ulFlags));
        EXPECT_EQ(ulFlags, serialisation.GetFlags());
    }

    // A set asked to use refused flags does nothing and keeps its own.
    PortSet set;
    Bytes buffer(64, 0xAA);
    EXPECT_EQ(0u, set.Set.GetSerialisedSize(32));
    EXPECT_FALSE(set.Set.Serialise(buffer.data(), (ULONG)buffer.size(), 4));
    EXPECT_FALSE(set.Set.Deserialise(buffer.data(), (ULONG)buffer.size(), 0xFFFFFFFF));
    EXPECT_EQ(3u, Take(Violation::AssertReport));
    EXPECT_EQ(Bytes(64, 0xAA), buffer);
    EXPECT_EQ(9600u, set.ulBaud);
    EXPECT_EQ(3u, set.Set.m_GetSerialisation()->GetFlags());
}

TEST_F(InformationSetTest, SizeMatchesWhatIsWrittenUnderEveryForm)
{
    PortSet set;
    for (ULONG ulFlags = 1; ulFlags < 32; ++ulFlags) {
        if ((ulFlags & 3) == 0) continue;
        SCOPED_TRACE(ulFlags);
        ULONG ulSize = set.Set.GetSerialisedSize(ulFlags);
        ULONG ulText = (ulFlags & TF_SERIALISE_UNICODE) ? 8 : 4;
        ULONG ulTag = (ulFlags & TF_SERIALISE_TYPE_TAGS) ? 1 : 0;
        ULONG ulExpected = ((ulFlags & TF_SERIALISE_HEADER) ? 4 + ulTag : 0) + 4 + ulTag + ulTag +
                           ((ulFlags & TF_SERIALISE_LENGTH) ? 4 : 0) + ulText +
                           ((ulFlags & TF_SERIALISE_TERMINATOR) ? ulText / 4 : 0);
        EXPECT_EQ(ulExpected, ulSize);

        // Exactly that many bytes suffice, one fewer does not, and the round trip holds.
        Bytes exact(ulSize);
        EXPECT_TRUE(set.Set.Serialise(exact.data(), ulSize, ulFlags));
        Bytes shorter(ulSize - 1);
        EXPECT_FALSE(set.Set.Serialise(shorter.data(), ulSize - 1, ulFlags));

        PortSet reader;
        reader.ulBaud = 0;
        reader.Port.m_Clear();
        EXPECT_TRUE(reader.Set.Deserialise(exact.data(), ulSize, ulFlags));
        EXPECT_EQ(9600u, reader.ulBaud);
        EXPECT_EQ("COM3", reader.PortText());
    }
}

TEST_F(InformationSetTest, SizeWithFlagsZeroUsesTheFlagsInForceIncludingTheHeader)
{
    PortSet set;
    ASSERT_TRUE(set.Set.m_GetSerialisation()->SetFlags(0x13));
    EXPECT_EQ(17u, set.Set.GetSerialisedSize(0));
    Bytes bytes = Serialise(set.Set, 0);
    ASSERT_EQ(17u, bytes.size());
    EXPECT_EQ(Bytes({0, 0, 0, 0, 0x80, 0x25, 0, 0}), Bytes(bytes.begin(), bytes.begin() + 8));
    EXPECT_EQ(13u, set.Set.GetSerialisedSize(3));
    EXPECT_EQ(0x13u, set.Set.m_GetSerialisation()->GetFlags());
}

TEST_F(InformationSetTest, SerialiseIntoAShortBufferStopsBeforeTheFieldThatDoesNotFit)
{
    PortSet set;
    for (ULONG ulLength = 0; ulLength < 13; ++ulLength) {
        SCOPED_TRACE(ulLength);
        // Exactly sized, so the sanitizer sees any write past the end.
        Bytes buffer(ulLength, 0xAA);
        EXPECT_FALSE(set.Set.Serialise(ulLength ? buffer.data() : NULL, ulLength, 0));
        if (ulLength >= 4) {
            EXPECT_EQ(Bytes({0x80, 0x25, 0, 0}), Bytes(buffer.begin(), buffer.begin() + 4));
            EXPECT_EQ(Bytes(ulLength - 4, 0xAA), Bytes(buffer.begin() + 4, buffer.end()));
        } else {
            EXPECT_EQ(Bytes(ulLength, 0xAA), buffer);
        }
    }
}

TEST_F(InformationSetTest, EmptyStringsRoundTripInEveryForm)
{
    PortSet set;
    set.Port.m_Clear();
    EXPECT_EQ(Bytes({0x80, 0x25, 0, 0, 0, 0, 0, 0, 0}), Serialise(set.Set, 3));

    for (ULONG ulFlags : {1u, 2u, 3u, 5u, 6u, 7u, 0x1Eu, 0x1Fu}) {
        SCOPED_TRACE(ulFlags);
        Bytes bytes = Serialise(set.Set, ulFlags);
        PortSet reader;
        EXPECT_TRUE(reader.Set.Deserialise(bytes.data(), (ULONG)bytes.size(), ulFlags));
        EXPECT_TRUE(reader.Port.m_IsEmpty());
        EXPECT_EQ(STATUS_SUCCESS, reader.Port.m_GetStatus());
    }
}

TEST_F(InformationSetTest, HeaderOfAnotherSetChangesNothing)
{
    PortSet writer;
    writer.Set.m_GetSerialisation()->SetSetIdentifier(7);
    writer.ulBaud = 115200;
    Bytes bytes = Serialise(writer.Set, 0x1F);

    PortSet reader;
    reader.Set.m_GetSerialisation()->SetSetIdentifier(8);
    EXPECT_FALSE(reader.Set.Deserialise(bytes.data(), (ULONG)bytes.size(), 0x1F));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(9600u, reader.ulBaud);
    EXPECT_EQ("COM3", reader.PortText());

    // A header type byte other than 0 is refused as well.
    reader.Set.m_GetSerialisation()->SetSetIdentifier(7);
    bytes[0] = 2;
    EXPECT_FALSE(reader.Set.Deserialise(bytes.data(), (ULONG)bytes.size(), 0x1F));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(9600u, reader.ulBaud);
}

// Malformed data: FALSE with one assertion report; the string item is not changed.
struct MalformedCase {
    const char* name;
    ULONG ulFlags;
    Bytes stringPart;  // follows the number 1234
};

Bytes Ansi(const char* psz, bool bTerminator)
{
    Bytes bytes(psz, psz + strlen(psz));
    if (bTerminator) bytes.push_back(0);
    return bytes;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(InformationSetTest, MalformedDataFailsWithOneReportAndKeepsEarlierItemsRead)
{
    Bytes prefix5 = {5, 0, 0, 0};
    Bytes prefix4 = {4, 0, 0, 0};
    Bytes prefix3 = {3, 0, 0, 0};
    const MalformedCase cases[] = {
        {"length larger than the data", 3, Concat(prefix5, Ansi("COM9", true))},
        {"length larger than the data, counted form", 2, Concat(prefix5, Ansi("COM9", false))},
        {"terminator missing", 3, Concat(prefix4, Ansi("COM9", false))},
        {"terminator missing, no length", 1, Ansi("COM9", false)},
        {"terminator before the length", 3, Concat(prefix4, {'C', 'O', 0, 'M', '9'})},
        {"terminator after the length", 3, Concat(prefix3, Ansi("COM9", true))},
        {"length cut short", 3, {4, 0}},
        {"odd UTF-16 length", 6, Concat(prefix3, {'C', 0, 'O'})},
        {"odd UTF-16 length with terminator", 7, Concat(prefix3, {'C', 0, 'O', 0, 0})},
        {"UTF-16 terminator missing", 5, {'C', 0, 'O', 0, 0}},
        {"nothing left for the string", 3, {}},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = {0xD2, 0x04, 0, 0};  // 1234
        data = Concat(data, c.stringPart);
        PortSet reader;
        EXPECT_FALSE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), c.ulFlags));
        EXPECT_EQ(1u, Take(Violation::AssertReport));
        EXPECT_EQ(1234u, reader.ulBaud);  // no roll-back of what was read
        EXPECT_EQ("COM3", reader.PortText());
    }
}

TEST_F(InformationSetTest, MistypedOrShortNumbersFail)
{
    PortSet reader;
    Bytes shortNumber = {0x80, 0x25};
    EXPECT_FALSE(reader.Set.Deserialise(shortNumber.data(), (ULONG)shortNumber.size(), 0));
    EXPECT_EQ(1u, Take(Violation::AssertReport));

    // Under type bytes a string where a number belongs is refused.
    Bytes mistyped = {3, 0x80, 0x25, 0, 0};
    EXPECT_FALSE(reader.Set.Deserialise(mistyped.data(), (ULONG)mistyped.size(), 0x0B));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    // And an ANSI string where UTF-16 is expected.
    Bytes mistypedString = {2, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(reader.Set.Deserialise(mistypedString.data(), (ULONG)mistypedString.size(), 0x0E));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(1u, reader.ulBaud);
    EXPECT_EQ("COM3", reader.PortText());
}

TEST_F(InformationSetTest, TextsLongerThanAStringCanHoldAreRefused)
{
    const ULONG cbText = 70000;
    for (ULONG ulFlags : {1u, 2u, 3u}) {
        SCOPED_TRACE(ulFlags);
        Bytes data = {0xD2, 0x04, 0, 0};
        if (ulFlags & TF_SERIALISE_LENGTH) PutUlong(data, cbText);
        data.insert(data.end(), cbText, 'A');
        if (ulFlags & TF_SERIALISE_TERMINATOR) data.push_back(0);
        PortSet reader;
        EXPECT_FALSE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), ulFlags));
        EXPECT_EQ(1u, Take(Violation::AssertReport));
        EXPECT_EQ("COM3", reader.PortText());
    }

    // The longest texts a string holds are read in full.
    for (ULONG ulFlags : {3u, 7u}) {
        SCOPED_TRACE(ulFlags);
        ULONG cbLongest = (ulFlags & TF_SERIALISE_UNICODE) ? TF_SERIALISE_MAX_UNICODE_TEXT : TF_SERIALISE_MAX_ANSI_TEXT;
        for (ULONG cbLength : {cbLongest, cbLongest + ((ulFlags & TF_SERIALISE_UNICODE) ? 2 : 1)}) {
            Bytes data = {0xD2, 0x04, 0, 0};
            PutUlong(data, cbLength);
            for (ULONG i = 0; i < cbLength; ++i) data.push_back((ulFlags & TF_SERIALISE_UNICODE) && (i & 1) ? 0 : 'B');
            data.insert(data.end(), (ulFlags & TF_SERIALISE_UNICODE) ? 2 : 1, 0);
            PortSet reader;
            bool bFits = cbLength == cbLongest;
            EXPECT_EQ(bFits, reader.Set.Deserialise(data.data(), (ULONG)data.size(), ulFlags)) << cbLength;
            if (bFits) {
                EXPECT_EQ(cbLongest, (ULONG)reader.Port.m_GetLength() / ((ulFlags & TF_SERIALISE_UNICODE) ? 1 : 2));
            } else {
                EXPECT_EQ(1u, Take(Violation::AssertReport));
                EXPECT_EQ("COM3", reader.PortText());
            }
        }
    }
}

TEST_F(InformationSetTest, StringTheTargetCannotTakeFailsTheRead)
{
    for (const ReferenceVector& vector : kReferenceVectors) {
        SCOPED_TRACE(vector.ulFlags);
        PortSet reader;
        reader.Set.m_GetSerialisation()->SetSetIdentifier(vector.ulSetIdentifier);
        Bytes data = vector.expected;
        // The UTF-16 form first makes an aligned copy of the text: fail the allocation after it.
        machine().GetPool().FailNth((vector.ulFlags & TF_SERIALISE_UNICODE) ? 2 : 1);
        EXPECT_FALSE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), vector.ulFlags));
        machine().GetPool().ClearFaults();
        EXPECT_EQ(1u, Take(Violation::AssertReport));
        EXPECT_EQ(9600u, reader.ulBaud);
        EXPECT_NE(STATUS_SUCCESS, reader.Port.m_GetStatus());
    }
}

TEST_F(InformationSetTest, Utf16TerminatorCountsOnlyOnCharacterBoundaries)
{
    // "A", then U+4100, then the terminator: the zero pair at the odd offset is not a terminator.
    Bytes data = {0xD2, 0x04, 0, 0, 'A', 0, 0, 'A', 0, 0};
    PortSet reader;
    EXPECT_TRUE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), 5));
    ASSERT_EQ(4u, reader.Port.m_GetLength());
    EXPECT_EQ(u'A', reader.Port.m_GetWideBuffer()[0]);
    EXPECT_EQ(u'\x4100', reader.Port.m_GetWideBuffer()[1]);
}

TEST_F(InformationSetTest, BytesAfterTheLastItemAreIgnored)
{
    PortSet writer;
    writer.ulBaud = 19200;
    Bytes data = Serialise(writer.Set, 3);
    data.insert(data.end(), {1, 2, 3});
    PortSet reader;
    EXPECT_TRUE(reader.Set.Deserialise(data.data(), (ULONG)data.size(), 0));
    EXPECT_EQ(19200u, reader.ulBaud);
}

TEST_F(InformationSetTest, SnapshotRollsBackAFailedRead)
{
    PortSet set;
    set.ulBaud = 4800;
    CTfInformationSetSnapshot snapshot;
    ASSERT_TRUE(set.Set.m_SaveValues(&snapshot));
    EXPECT_EQ(2u, snapshot.m_GetCount());

    // The number is read, then the string is cut short.
    Bytes data = {0xD2, 0x04, 0, 0, 4, 0, 0, 0, 'C', 'O'};
    EXPECT_FALSE(set.Set.Deserialise(data.data(), (ULONG)data.size(), 0));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(1234u, set.ulBaud);

    set.Port.m_Clear();  // as after a failed assignment
    EXPECT_TRUE(set.Set.m_RestoreValues(&snapshot));
    EXPECT_EQ(4800u, set.ulBaud);
    EXPECT_EQ("COM3", set.PortText());

    // An empty string is saved and restored as empty.
    ASSERT_TRUE(set.Set.m_SaveValues(&snapshot));
    ASSERT_EQ(STATUS_SUCCESS, set.Port.m_AssignAnsi("COM7"));
    EXPECT_TRUE(set.Set.m_RestoreValues(&snapshot));
    EXPECT_EQ("COM3", set.PortText());
}

TEST_F(InformationSetTest, SnapshotOfAnotherSetIsRefusedWithoutChangingAnything)
{
    PortSet first;
    PortSet second;
    second.ulBaud = 300;
    CTfInformationSetSnapshot snapshot;
    ASSERT_TRUE(first.Set.m_SaveValues(&snapshot));
    EXPECT_FALSE(second.Set.m_RestoreValues(&snapshot));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(300u, second.ulBaud);

    // A set that grew since the snapshot is refused too.
    ULONG ulExtra = 5;
    ASSERT_TRUE(first.Set.m_AddDwordEntry(u"Extra", &ulExtra, 0, NULL));
    first.ulBaud = 1;
    EXPECT_FALSE(first.Set.m_RestoreValues(&snapshot));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(1u, first.ulBaud);
}

TEST_F(InformationSetTest, SnapshotThatCannotBeTakenIsEmptyAndLeaksNothing)
{
    PortSet set;
    size_t before = TrackedBlocks();
    for (size_t n = 1;; ++n) {
        CTfInformationSetSnapshot snapshot;
        machine().GetPool().FailNth(n);
        BOOLEAN bSaved = set.Set.m_SaveValues(&snapshot);
        machine().GetPool().ClearFaults();
        if (bSaved) {
            EXPECT_EQ(2u, snapshot.m_GetCount());
            break;
        }
        EXPECT_EQ(0u, snapshot.m_GetCount());
        EXPECT_EQ(before, TrackedBlocks());
        ASSERT_LT(n, 10u);
    }
    EXPECT_EQ(before, TrackedBlocks());
}

TEST_F(InformationSetTest, AddOperationsBuildItemsInOrderWithTheirDefaults)
{
    ULONG ulNumber = 0;
    ULONG ulRequired = 0;
    CTfString text(NonPagedPool);
    CTfRegistryValueConstraint range(0, 15);
    CTfRegistryInformationSet set;
    EXPECT_TRUE(set.m_AddDwordItem(u"First", &ulNumber, 42, &range));
    EXPECT_TRUE(set.m_AddStringItem(u"Second", &text, "Default", NULL));
    PULONG pulDefault = (PULONG)AllocateTrackedPool(NonPagedPool, sizeof(ULONG));
    ASSERT_NE(nullptr, pulDefault);
    EXPECT_TRUE(set.m_AddItem(TRUE, u"Third", &ulRequired, TF_ITEM_KIND_DWORD, NULL, pulDefault));
    ASSERT_EQ(3u, set.m_GetItemCount());

    CTfInformationSetItem* pItem = set.m_GetFirstItem();
    EXPECT_TRUE(pItem->m_Name.m_IsEqual(CTfString(NonPagedPool, u"First")));
    EXPECT_EQ(0u, pItem->m_ulRequired);
    EXPECT_EQ(TF_ITEM_KIND_DWORD, (int)pItem->m_ulKind);
    EXPECT_EQ(&ulNumber, pItem->m_pTarget);
    EXPECT_EQ(42u, *(PULONG)pItem->m_pDefault);
    EXPECT_EQ(&range, pItem->m_pConstraint);

    pItem = set.m_GetNextItem();
    EXPECT_EQ(TF_ITEM_KIND_STRING, (int)pItem->m_ulKind);
    EXPECT_STREQ("Default", ((CTfString*)pItem->m_pDefault)->m_GetAnsiBuffer());
    EXPECT_EQ(nullptr, pItem->m_pConstraint);

    pItem = set.m_GetNextItem();
    EXPECT_EQ(1u, pItem->m_ulRequired);
    EXPECT_EQ(pulDefault, pItem->m_pDefault);  // owned by the set from now on
    EXPECT_EQ(nullptr, set.m_GetNextItem());

    // Deleting an entry unlinks it and frees its default.
    size_t before = TrackedBlocks();
    set.m_DeleteEntry(pItem);
    EXPECT_EQ(2u, set.m_GetItemCount());
    EXPECT_GT(before, TrackedBlocks());
}

TEST_F(InformationSetTest, AddOperationsRefuseBadEntries)
{
    ULONG ulNumber = 0;
    CTfRegistryInformationSet set;
    EXPECT_FALSE(set.m_AddEntry(FALSE, u"Bad", &ulNumber, 3, NULL, NULL));
    EXPECT_FALSE(set.m_AddEntry(FALSE, NULL, &ulNumber, TF_ITEM_KIND_DWORD, NULL, NULL));
    EXPECT_FALSE(set.m_AddDwordEntry(u"NoTarget", NULL, 1, NULL));
    EXPECT_EQ(3u, Take(Violation::AssertReport));
    EXPECT_EQ(0u, set.m_GetItemCount());
}

TEST_F(InformationSetTest, AddOperationThatRunsOutOfMemoryLeavesNothingBehind)
{
    ULONG ulNumber = 0;
    CTfString text(NonPagedPool);
    CTfRegistryInformationSet set;
    size_t before = TrackedBlocks();
    for (int kind = 0; kind < 2; ++kind) {
        size_t baseline = TrackedBlocks();
        for (size_t n = 1;; ++n) {
            SCOPED_TRACE(n);
            machine().GetPool().FailNth(n);
            BOOLEAN bAdded = kind == 0 ? set.m_AddDwordEntry(u"Number", &ulNumber, 7, NULL)
                                       : set.m_AddStringEntry(u"Text", &text, "abc", NULL);
            machine().GetPool().ClearFaults();
            if (bAdded) break;
            EXPECT_EQ((ULONG)kind, set.m_GetItemCount());
            EXPECT_EQ(baseline, TrackedBlocks());
            ASSERT_LT(n, 20u);
        }
    }
    EXPECT_EQ(2u, set.m_GetItemCount());
    set.m_DeleteAll();
    EXPECT_EQ(before, TrackedBlocks());
}

TEST_F(InformationSetTest, UnknownItemKindFailsEveryOperation)
{
    PortSet set;
    CTfInformationSetItem* pItem = set.Set.m_GetFirstItem();
    pItem->m_ulKind = 9;  // no add operation makes such an item

    UCHAR buffer[16] = {};
    EXPECT_EQ(0u, set.Set.GetSerialisedSize(0));
    EXPECT_FALSE(set.Set.Serialise(buffer, sizeof(buffer), 0));
    EXPECT_FALSE(set.Set.Deserialise(buffer, sizeof(buffer), 0));
    CTfInformationSetSnapshot snapshot;
    EXPECT_FALSE(set.Set.m_SaveValues(&snapshot));
    EXPECT_EQ(4u, Take(Violation::AssertReport));
    pItem->m_ulKind = TF_ITEM_KIND_DWORD;  // so its default is freed as what it is
}

}  // namespace
