// The user-mode set twin against the drivers' own serialiser: each reads what the other writes, in
// every valid form, byte for byte.
#include <gtest/gtest.h>

#include <vector>

#include "machine_test.h"
#include "tfinformationset.h"
#include "tfmemorytracker.h"
#include "tfregistryinformationset.h"
#include "tfserialisation.h"
#include "utfinformationset.h"

namespace emu::testing {
namespace {

using Bytes = std::vector<BYTE>;

class WireFormatTest : public MachineTest {
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
};

// The same two items on both sides: a number and a string.
struct KernelSet {
    ULONG ulBaud = 0;
    CTfString Port{NonPagedPool, "x"};
    CTfRegistryInformationSet Set;
    KernelSet(ULONG ulValue, const char* pszText) : ulBaud(ulValue), Port(NonPagedPool, pszText)
    {
        EXPECT_TRUE(Set.m_AddDwordEntry(u"BaudRate", &ulBaud, 9600, NULL));
        EXPECT_TRUE(Set.m_AddStringEntry(u"PortName", &Port, "COM1", NULL));
    }
    std::u16string Text() { return Port.m_IsEmpty() ? std::u16string() : std::u16string(Port.m_GetWideBuffer(), Port.m_GetLength() / 2); }
};

struct TwinSet {
    DWORD dwBaud = 0;
    CString strPort;
    CvUser::CTfInformationSet Set;
    TwinSet(DWORD dwValue, LPCWSTR pszText) : dwBaud(dwValue), strPort(pszText)
    {
        Set.AddItem(u"BaudRate", &dwBaud, 9600);
        Set.AddStringItem(u"PortName", &strPort);
    }
};

Bytes KernelBytes(KernelSet& set, ULONG flags)
{
    Bytes bytes(set.Set.GetSerialisedSize(flags));
    EXPECT_TRUE(set.Set.Serialise(bytes.data(), static_cast<ULONG>(bytes.size()), flags));
    return bytes;
}

Bytes TwinBytes(TwinSet& set, ULONG flags)
{
    Bytes bytes(set.Set.GetSerialisedSize(flags));
    EXPECT_TRUE(set.Set.Serialise(bytes.data(), static_cast<ULONG>(bytes.size()), flags));
    return bytes;
}

TEST_F(WireFormatTest, EachSideReadsWhatTheOtherWritesInEveryValidForm)
{
    for (ULONG flags = 1; flags < 32; ++flags) {
        if (!(flags & 3)) continue;
        for (const char* text : {"COM3", "", "Port 12 of 16"}) {
            // A counted string without terminator cannot be empty for the drivers' reader.
            if (!*text && !(flags & 1)) continue;
            SCOPED_TRACE("flags " + std::to_string(flags) + " text '" + text + "'");
            const std::u16string wide(text, text + std::char_traits<char>::length(text));
            KernelSet kernel(115200, text);
            kernel.Set.m_GetSerialisation()->SetSetIdentifier(7);
            TwinSet twin(115200, wide.c_str());
            twin.Set.GetSerialisation()->SetSetIdentifier(7);
            const Bytes written = TwinBytes(twin, flags);
            EXPECT_EQ(written, KernelBytes(kernel, flags));

            KernelSet kernelReader(0, "old");
            kernelReader.Set.m_GetSerialisation()->SetSetIdentifier(7);
            Bytes copy = written;
            ASSERT_TRUE(kernelReader.Set.Deserialise(copy.data(), static_cast<ULONG>(copy.size()), flags));
            EXPECT_EQ(kernelReader.ulBaud, 115200u);
            EXPECT_EQ(kernelReader.Text(), wide);

            TwinSet twinReader(0, u"old");
            twinReader.Set.GetSerialisation()->SetSetIdentifier(7);
            const Bytes fromKernel = KernelBytes(kernel, flags);
            ASSERT_TRUE(twinReader.Set.Deserialise(fromKernel.data(), static_cast<ULONG>(fromKernel.size()), flags));
            EXPECT_EQ(twinReader.dwBaud, 115200u);
            EXPECT_EQ(twinReader.strPort.Text(), wide);
        }
    }
}

TEST_F(WireFormatTest, TheWorkedExamplesAndTheFlagRules)
{
    TwinSet twin(9600, u"COM3");
    EXPECT_EQ(TwinBytes(twin, 0), (Bytes{0x80, 0x25, 0, 0, 4, 0, 0, 0, 'C', 'O', 'M', '3', 0}));
    twin.Set.GetSerialisation()->SetSetIdentifier(7);
    EXPECT_EQ(TwinBytes(twin, 0x1F), (Bytes{0, 7, 0, 0, 0, 2, 0x80, 0x25, 0, 0, 4, 8, 0, 0, 0, 'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}));
    EXPECT_EQ(twin.Set.GetSerialisation()->GetFlags(), 3u);  // a call's flags hold for that call only
    for (ULONG refused : {0u, 4u, 32u, 0xFFFFFFFFu}) {
        if (refused == 0) continue;  // 0 means "the set's own flags"
        EXPECT_EQ(twin.Set.GetSerialisedSize(refused), 0u);
        EXPECT_FALSE(twin.Set.GetSerialisation()->SetFlags(refused));
    }
    TwinSet empty(1, u"");
    EXPECT_EQ(TwinBytes(empty, 0), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes small(5);
    EXPECT_FALSE(twin.Set.Serialise(small.data(), 5, 0));
}

TEST_F(WireFormatTest, MalformedAnswersFailAndKeepWhatWasReadBefore)
{
    struct Case {
        const char* what;
        Bytes bytes;
        ULONG flags;
        bool baudRead;
    } cases[] = {
        {"one byte short", {0x80, 0x25, 0, 0, 4, 0, 0, 0, 'C', 'O', 'M', '3'}, 3, true},
        {"terminator missing", {0x80, 0x25, 0, 0, 4, 0, 0, 0, 'C', 'O', 'M', '3', 'X'}, 3, true},
        {"prefix beyond the data", {0x80, 0x25, 0, 0, 9, 0, 0, 0, 'C', 'O', 'M', '3', 0}, 3, true},
        {"prefix not the text's length", {0x80, 0x25, 0, 0, 3, 0, 0, 0, 'C', 'O', 'M', '3', 0}, 3, true},
        {"number cut", {0x80, 0x25}, 3, false},
        {"wrong set identifier", {0, 8, 0, 0, 0, 2, 0x80, 0x25, 0, 0}, 0x1B, false},
        {"wrong type byte", {3, 0x80, 0x25, 0, 0}, 0x0B, false},
        {"odd UTF-16 count", {0x80, 0x25, 0, 0, 3, 0, 0, 0, 'C', 0, 'O'}, 0x06, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TwinSet twin(1, u"old");
        twin.Set.GetSerialisation()->SetSetIdentifier(7);
        EXPECT_FALSE(twin.Set.Deserialise(c.bytes.data(), static_cast<ULONG>(c.bytes.size()), c.flags));
        EXPECT_EQ(twin.dwBaud, c.baudRead ? 9600u : 1u);
        EXPECT_EQ(twin.strPort, u"old");
    }
}

TEST_F(WireFormatTest, TextOutsideTheAnsiCodePageIsSizedByItsConvertedBytes)
{
    TwinSet twin(1, u"\u00C4\u20AC");  // one character of the code page, one outside it
    const Bytes bytes = TwinBytes(twin, 3);
    EXPECT_EQ(bytes, (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 0xC4, '?', 0}));
    KernelSet kernel(0, "old");
    Bytes copy = bytes;
    EXPECT_TRUE(kernel.Set.Deserialise(copy.data(), static_cast<ULONG>(copy.size()), 3));
}

}  // namespace
}  // namespace emu::testing
