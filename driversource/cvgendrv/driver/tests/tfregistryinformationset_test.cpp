// Registry information sets bound to a key: defaults for missing values, constraints on what is
// read, the "Default" subkey (created for writing, only opened for reading), the exact bytes
// written, the three key sources and the caller's-key operations, and clean failure when memory
// runs out while entries are added.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ex/pool.h"
#include "cm/registry.h"
#include "ob/object_manager.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"
#include "tfregistryinformationset.h"
#include "tfregistryvalueconstraint.h"
#include "tfstring.h"

namespace {

using emu::RegistryCall;

constexpr ULONG kTracked = emu::PoolTag("TfKi");
constexpr char16_t kSetKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\Test\\UI1";
constexpr char16_t kDefaultsKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\Test\\UI1\\Default";

std::vector<uint8_t> Bytes(std::u16string_view text)
{
    std::vector<uint8_t> data(text.size() * sizeof(char16_t));
    if (!data.empty()) std::memcpy(data.data(), text.data(), data.size());
    return data;
}

std::u16string Text(CTfString& string)
{
    if (string.m_IsEmpty()) return {};
    return std::u16string(string.m_GetWideBuffer(), string.m_GetLength() / sizeof(WCHAR));
}

// Each test runs as a loaded image with its own library reference; nothing tracked may be left.
class RegistrySetTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        ASSERT_TRUE(registry().CreateKey(kSetKey));
    }
    void TearDown() override
    {
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }
    size_t OpenHandles() { return machine().GetObjectManager().OpenHandleCount(); }

    HANDLE OpenSetKey(ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        CTfString Path(PagedPool, (const WCHAR*)kSetKey);
        HANDLE hKey = nullptr;
        EXPECT_TRUE(CTfRegistry::m_OpenKey(Path, &hKey, access, FALSE));
        return hKey;
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// A port-like set: two numbers (the second ranged 1..8) and a string.
struct PortSet {
    ULONG ulBaud = 0;
    ULONG ulDataBits = 8;
    CTfString Name{NonPagedPool};
    CTfRegistryValueConstraint DataBitsRange{1, 8};
    CTfRegistryInformationSet Set;

    explicit PortSet(HANDLE hKey = nullptr) : Set(hKey)
    {
        EXPECT_TRUE(Set.m_IsValid());
        EXPECT_TRUE(Set.m_AddDwordEntry(u"BaudRate", &ulBaud, 9600, NULL));
        EXPECT_TRUE(Set.m_AddDwordEntry(u"DataBits", &ulDataBits, 8, &DataBitsRange));
        EXPECT_TRUE(Set.m_AddStringEntry(u"FriendlyName", &Name, "Port", NULL));
    }
};

// ----- reading ---------------------------------------------------------------------------------

TEST_F(RegistrySetTest, MissingAndWronglyTypedValuesTakeTheirDefaults)
{
    PortSet port;
    port.ulBaud = 1;
    port.ulDataBits = 2;
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 9600u);
    EXPECT_EQ(port.ulDataBits, 8u);
    EXPECT_EQ(Text(port.Name), u"Port");

    // A number of the wrong size and an expandable string are not the values the set asks for.
    ASSERT_TRUE(registry().SetValue(kSetKey, u"BaudRate", REG_DWORD, {1, 2}));
    ASSERT_TRUE(registry().SetString(kSetKey, u"FriendlyName", u"Other", REG_EXPAND_SZ));
    port.ulBaud = 1;
    port.Name.m_AssignWide((const WCHAR*)u"x");
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 9600u);
    EXPECT_EQ(Text(port.Name), u"Port");

    // Stored values win over the defaults, an empty string included.
    ASSERT_TRUE(registry().SetDword(kSetKey, u"baudrate", 115200));
    ASSERT_TRUE(registry().SetValue(kSetKey, u"FriendlyName", REG_SZ, {}));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 115200u);
    EXPECT_TRUE(port.Name.m_IsEmpty());
}

TEST_F(RegistrySetTest, ARejectedValueFailsTheReadAndKeepsWhatWasReadBefore)
{
    PortSet port;
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"BaudRate", 19200));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"DataBits", 9));
    ASSERT_TRUE(registry().SetValue(kSetKey, u"FriendlyName", REG_SZ, Bytes(u"Stored")));
    port.ulDataBits = 7;

    EXPECT_FALSE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 19200u);          // read before the failure
    EXPECT_EQ(port.ulDataBits, 7u);          // the rejected value never reaches the variable
    EXPECT_TRUE(port.Name.m_IsEmpty());      // not reached

    for (ULONG ulValue : {1u, 8u}) {
        ASSERT_TRUE(registry().SetDword(kSetKey, u"DataBits", ulValue));
        EXPECT_TRUE(port.Set.m_Read(FALSE));
        EXPECT_EQ(port.ulDataBits, ulValue);
    }
    ASSERT_TRUE(registry().SetDword(kSetKey, u"DataBits", 0));
    EXPECT_FALSE(port.Set.m_Read(FALSE));
}

TEST_F(RegistrySetTest, RangesCompareSignedAndCheckRoutinesCanReject)
{
    ULONG ulOffset = 0, ulEven = 0;
    CTfRegistryValueConstraint Offset(-2, 2);
    CTfRegistryValueConstraint Even((PTF_NUMBER_CHECK_ROUTINE)[](ULONG ulValue) -> BOOLEAN {
        return (ulValue % 2) == 0;
    });
    CTfRegistryInformationSet Set;
    ASSERT_TRUE(Set.m_AddDwordEntry(u"Offset", &ulOffset, 0, &Offset));
    ASSERT_TRUE(Set.m_AddDwordEntry(u"Even", &ulEven, 0, &Even));
    ASSERT_TRUE(Set.m_SetKeyPath((const WCHAR*)kSetKey));

    ASSERT_TRUE(registry().SetDword(kSetKey, u"Offset", 0xFFFFFFFF));  // -1
    ASSERT_TRUE(registry().SetDword(kSetKey, u"Even", 4));
    EXPECT_TRUE(Set.m_Read(FALSE));
    EXPECT_EQ(ulOffset, 0xFFFFFFFFu);
    EXPECT_EQ(ulEven, 4u);

    ASSERT_TRUE(registry().SetDword(kSetKey, u"Even", 5));
    EXPECT_FALSE(Set.m_Read(FALSE));
    EXPECT_EQ(ulEven, 4u);
    ASSERT_TRUE(registry().SetDword(kSetKey, u"Even", 6));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"Offset", 0xFFFFFFFD));  // -3
    EXPECT_FALSE(Set.m_Read(FALSE));
}

TEST_F(RegistrySetTest, MaximumStringLengthCountsCharacters)
{
    CTfString Name(NonPagedPool);
    CTfRegistryValueConstraint MaxFive((ULONG)5);
    CTfRegistryInformationSet Set;
    ASSERT_TRUE(Set.m_AddStringEntry(u"Name", &Name, "dflt", &MaxFive));
    ASSERT_TRUE(Set.m_SetKeyPath((const WCHAR*)kSetKey));

    ASSERT_TRUE(registry().SetValue(kSetKey, u"Name", REG_SZ, Bytes(u"COM12")));
    EXPECT_TRUE(Set.m_Read(FALSE));
    EXPECT_EQ(Text(Name), u"COM12");

    ASSERT_TRUE(registry().SetValue(kSetKey, u"Name", REG_SZ, Bytes(u"COM123")));
    EXPECT_FALSE(Set.m_Read(FALSE));
    EXPECT_EQ(Text(Name), u"COM12");
}

// The routine sees the owner's own string, and a rejection fails the read.
CTfString* g_pCheckedString = nullptr;
BOOLEAN AcceptsOnlyComNames(CTfString* pString)
{
    g_pCheckedString = pString;
    return pString->m_GetLength() >= 6 && std::memcmp(pString->m_GetWideBuffer(), u"COM", 6) == 0;
}

TEST_F(RegistrySetTest, StringCheckRoutineRunsOnTheOwnersString)
{
    CTfString Name(NonPagedPool);
    CTfRegistryValueConstraint ComOnly(&AcceptsOnlyComNames);
    CTfRegistryInformationSet Set;
    ASSERT_TRUE(Set.m_AddStringEntry(u"PortName", &Name, "COM1", &ComOnly));
    ASSERT_TRUE(Set.m_SetKeyPath((const WCHAR*)kSetKey));

    g_pCheckedString = nullptr;
    EXPECT_TRUE(Set.m_Read(FALSE));  // the default is not checked
    EXPECT_EQ(g_pCheckedString, nullptr);

    ASSERT_TRUE(registry().SetValue(kSetKey, u"PortName", REG_SZ, Bytes(u"COM7")));
    EXPECT_TRUE(Set.m_Read(FALSE));
    EXPECT_EQ(g_pCheckedString, &Name);
    ASSERT_TRUE(registry().SetValue(kSetKey, u"PortName", REG_SZ, Bytes(u"LPT1")));
    EXPECT_FALSE(Set.m_Read(FALSE));
}

TEST_F(RegistrySetTest, RequiredValuesMustBeStored)
{
    ULONG ulType = 0;
    CTfString Name(NonPagedPool);
    CTfRegistryInformationSet Set;
    ASSERT_TRUE(Set.m_AddItem(TRUE, u"TypeOfDevice", &ulType, TF_ITEM_KIND_DWORD, NULL, NULL));
    ASSERT_TRUE(Set.m_AddItem(TRUE, u"DeviceName", &Name, TF_ITEM_KIND_STRING, NULL, NULL));
    ASSERT_TRUE(Set.m_SetKeyPath((const WCHAR*)kSetKey));

    EXPECT_FALSE(Set.m_Read(FALSE));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"TypeOfDevice", 0x1B));
    EXPECT_FALSE(Set.m_Read(FALSE));
    EXPECT_EQ(ulType, 0x1Bu);
    ASSERT_TRUE(registry().SetString(kSetKey, u"DeviceName", u"Port", REG_EXPAND_SZ));
    EXPECT_FALSE(Set.m_Read(FALSE));  // the wrong type is no value
    ASSERT_TRUE(registry().SetString(kSetKey, u"DeviceName", u"Port"));
    EXPECT_TRUE(Set.m_Read(FALSE));
    EXPECT_EQ(Text(Name), u"Port");
}

// ----- writing and the defaults subkey ----------------------------------------------------------

TEST_F(RegistrySetTest, WriteStoresNumbersAndTextWithoutTerminator)
{
    PortSet port;
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    port.ulBaud = 57600;
    port.ulDataBits = 7;
    port.Name.m_AssignWide((const WCHAR*)u"Castel");
    EXPECT_TRUE(port.Set.m_Write(FALSE));

    EXPECT_EQ(registry().GetValue(kSetKey, u"BaudRate"), (emu::RegistryValue{REG_DWORD, {0x00, 0xE1, 0, 0}}));
    EXPECT_EQ(registry().GetDword(kSetKey, u"DataBits"), 7u);
    EXPECT_EQ(registry().GetValue(kSetKey, u"FriendlyName"), (emu::RegistryValue{REG_SZ, Bytes(u"Castel")}));

    // And back again.
    PortSet reader;
    ASSERT_TRUE(reader.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    EXPECT_TRUE(reader.Set.m_Read(FALSE));
    EXPECT_EQ(reader.ulBaud, 57600u);
    EXPECT_EQ(reader.ulDataBits, 7u);
    EXPECT_EQ(Text(reader.Name), u"Castel");

    port.Name.m_Clear();
    EXPECT_TRUE(port.Set.m_Write(FALSE));
    EXPECT_EQ(registry().GetValue(kSetKey, u"FriendlyName"), (emu::RegistryValue{REG_SZ, {}}));
}

TEST_F(RegistrySetTest, WriteStopsAtTheFirstFailure)
{
    PortSet port;
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    registry().FailNextCall(RegistryCall::SetValueKey, STATUS_INSUFFICIENT_RESOURCES);
    size_t before = registry().CallCount(RegistryCall::SetValueKey);
    EXPECT_FALSE(port.Set.m_Write(FALSE));
    EXPECT_EQ(registry().CallCount(RegistryCall::SetValueKey), before + 1);
    EXPECT_FALSE(registry().GetValue(kSetKey, u"DataBits").has_value());
    EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(RegistrySetTest, DefaultsAreReadOnlyFromAnExistingSubkeyAndWritingCreatesIt)
{
    PortSet port;
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    port.ulBaud = 4800;
    EXPECT_FALSE(port.Set.m_Read(TRUE));
    EXPECT_FALSE(registry().KeyExists(kDefaultsKey));
    EXPECT_EQ(port.ulBaud, 4800u);

    EXPECT_TRUE(port.Set.m_Write(TRUE));
    EXPECT_TRUE(registry().KeyExists(kDefaultsKey));
    EXPECT_EQ(registry().GetDword(kDefaultsKey, u"BaudRate"), 4800u);
    EXPECT_FALSE(registry().GetValue(kSetKey, u"BaudRate").has_value());

    ASSERT_TRUE(registry().SetDword(kDefaultsKey, u"BaudRate", 2400));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"BaudRate", 38400));
    EXPECT_TRUE(port.Set.m_Read(TRUE));
    EXPECT_EQ(port.ulBaud, 2400u);
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 38400u);
    EXPECT_EQ(OpenHandles(), 0u);
}

// The configuration interface's first load on a fresh hardware key: load the set key, find no
// defaults, write them, and read them back later through the same caller's handle.
TEST_F(RegistrySetTest, FirstLoadOnAnEmptySetKeyWritesTheDefaults)
{
    HANDLE hKey = OpenSetKey(KEY_WRITE);  // a kernel handle queries values whatever it was opened for
    ASSERT_NE(hKey, nullptr);
    PortSet port;
    EXPECT_TRUE(port.Set.m_ReadFromKey(hKey, FALSE));
    EXPECT_EQ(port.ulBaud, 9600u);
    CTfString Defaults(PagedPool, "Default");
    EXPECT_FALSE(CTfRegistry::m_KeyExists(hKey, Defaults));
    EXPECT_TRUE(port.Set.m_WriteToKey(hKey, TRUE));
    EXPECT_TRUE(port.Set.m_WriteToKey(hKey, FALSE));

    port.ulBaud = 0;
    EXPECT_TRUE(port.Set.m_ReadFromKey(hKey, TRUE));
    EXPECT_EQ(port.ulBaud, 9600u);
    EXPECT_EQ(registry().GetDword(kDefaultsKey, u"DataBits"), 8u);
    EXPECT_EQ(registry().GetValue(kSetKey, u"FriendlyName"), (emu::RegistryValue{REG_SZ, Bytes(u"Port")}));

    // The caller's key stays open: the set only closed the "Default" subkeys it opened.
    EXPECT_EQ(OpenHandles(), 1u);
    EXPECT_TRUE(CTfRegistry::m_CloseKey(hKey));
    EXPECT_EQ(OpenHandles(), 0u);
}

// ----- where the key comes from -----------------------------------------------------------------

struct OpenKeyLog {
    HANDLE hResult = nullptr;
    int nCalls = 0;
    BOOLEAN bDefaults = FALSE;
    ULONG ulWrite = 7;
};

HANDLE OpenKeyRoutine(PVOID pContext, BOOLEAN bDefaults, ULONG ulWrite)
{
    OpenKeyLog* pLog = (OpenKeyLog*)pContext;
    pLog->nCalls++;
    pLog->bDefaults = bDefaults;
    pLog->ulWrite = ulWrite;
    if (pLog->hResult == nullptr) return nullptr;
    // Each call hands out a key of its own, which the set closes.
    CTfString Path(PagedPool, (const WCHAR*)kSetKey);
    HANDLE hKey = nullptr;
    return CTfRegistry::m_OpenKey(Path, &hKey, KEY_ALL_ACCESS, FALSE) ? hKey : nullptr;
}

TEST_F(RegistrySetTest, TheOpenKeyRoutineComesFirstAndItsKeysAreClosed)
{
    HANDLE hBound = OpenSetKey();
    PortSet port(hBound);
    ASSERT_TRUE(port.Set.m_SetKeyPath(u"\\Registry\\Machine\\Software\\Missing"));
    OpenKeyLog log;
    log.hResult = (HANDLE)1;
    port.Set.m_SetOpenKeyRoutine(&OpenKeyRoutine, &log);

    EXPECT_TRUE(port.Set.m_Write(TRUE));
    EXPECT_EQ(log.nCalls, 1);
    EXPECT_TRUE(log.bDefaults);
    EXPECT_EQ(log.ulWrite, 1u);
    EXPECT_TRUE(registry().KeyExists(kDefaultsKey));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(log.nCalls, 2);
    EXPECT_FALSE(log.bDefaults);
    EXPECT_EQ(log.ulWrite, 0u);
    EXPECT_EQ(OpenHandles(), 1u);  // only the bound key

    log.hResult = nullptr;
    EXPECT_FALSE(port.Set.m_Read(FALSE));

    // Without the routine the bound key serves, and it is not closed.
    port.Set.m_SetOpenKeyRoutine(NULL, NULL);
    EXPECT_TRUE(port.Set.m_Read(TRUE));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(OpenHandles(), 1u);
    EXPECT_TRUE(CTfRegistry::m_CloseKey(hBound));

    // Without a bound key the path is opened, and a path that does not exist fails.
    port.Set.m_BindKey(NULL);
    EXPECT_FALSE(port.Set.m_Read(FALSE));
    ASSERT_TRUE(port.Set.m_SetKeyPath((const WCHAR*)kSetKey));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    ASSERT_TRUE(port.Set.m_SetKeyPath(NULL));
    EXPECT_FALSE(port.Set.m_Read(FALSE));
    EXPECT_FALSE(port.Set.m_Write(FALSE));
    EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(RegistrySetTest, ACallersKeyIsUsedOnceAndTheSetsOwnSourcesComeBack)
{
    constexpr char16_t kOther[] = u"\\Registry\\Machine\\Software\\CastelVaneOther";
    ASSERT_TRUE(registry().CreateKey(kOther));
    ASSERT_TRUE(registry().SetDword(kOther, u"BaudRate", 300));
    ASSERT_TRUE(registry().SetDword(kSetKey, u"BaudRate", 1200));

    PortSet port;
    OpenKeyLog log;
    log.hResult = (HANDLE)1;
    port.Set.m_SetOpenKeyRoutine(&OpenKeyRoutine, &log);

    CTfString OtherPath(PagedPool, (const WCHAR*)kOther);
    HANDLE hOther = nullptr;
    ASSERT_TRUE(CTfRegistry::m_OpenKey(OtherPath, &hOther, KEY_ALL_ACCESS, FALSE));
    EXPECT_TRUE(port.Set.m_ReadFromKey(hOther, FALSE));
    EXPECT_EQ(port.ulBaud, 300u);
    EXPECT_EQ(log.nCalls, 0);

    // A failing operation on the caller's key restores the sources too.
    EXPECT_FALSE(port.Set.m_ReadFromKey(hOther, TRUE));
    EXPECT_FALSE(port.Set.m_ReadFromKey(NULL, FALSE));
    EXPECT_TRUE(port.Set.m_Read(FALSE));
    EXPECT_EQ(port.ulBaud, 1200u);
    EXPECT_EQ(log.nCalls, 1);

    EXPECT_TRUE(CTfRegistry::m_CloseKey(hOther));
    EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(RegistrySetTest, AnEmptySetNeitherReadsNorWrites)
{
    CTfRegistryInformationSet Set;
    ASSERT_TRUE(Set.m_SetKeyPath((const WCHAR*)kSetKey));
    EXPECT_FALSE(Set.m_Read(FALSE));
    EXPECT_FALSE(Set.m_Write(TRUE));
    EXPECT_FALSE(registry().KeyExists(kDefaultsKey));
}

// ----- adding entries when memory runs out ------------------------------------------------------

TEST_F(RegistrySetTest, EveryAllocationFailureWhileAddingLeavesNothingBehind)
{
    for (size_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        size_t before = machine().GetPool().LiveCount(kTracked);
        {
            ULONG ulValue = 0;
            CTfString Name(NonPagedPool);
            CTfRegistryInformationSet Set;
            machine().GetPool().FailNth(n);
            BOOLEAN bNumber = Set.m_AddDwordEntry(u"NumberEntryWithALongName", &ulValue, 5, NULL);
            machine().GetPool().FailNth(0);
            EXPECT_EQ(Set.m_GetItemCount(), bNumber ? 1u : 0u);

            machine().GetPool().FailNth(n);
            BOOLEAN bString = Set.m_AddStringEntry(u"StringEntryWithALongName", &Name, "default", NULL);
            machine().GetPool().FailNth(0);
            EXPECT_EQ(Set.m_GetItemCount(), (bNumber ? 1u : 0u) + (bString ? 1u : 0u));
        }
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), before);
    }
}

}  // namespace
