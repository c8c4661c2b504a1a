// Registry access: exact bytes written and read back (terminators, odd lengths, multi-strings),
// the refusals of the typed queries, out values left alone on failure, and the path helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ex/pool.h"
#include "cm/registry.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"
#include "tfstring.h"

namespace {

using emu::PoolTag;
using emu::RegistryCall;

constexpr ULONG kTracked = PoolTag("TfKi");
constexpr char16_t kKeyPath[] = u"\\Registry\\Machine\\Software\\CastelVaneTest";
constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

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

// Each test runs as a loaded image: a library reference of its own, and no tracked block left
// behind once it is released.
class RegistryTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        ASSERT_TRUE(registry().CreateKey(kKeyPath));
        CTfString Path(PagedPool, (const WCHAR*)kKeyPath);
        ASSERT_TRUE(CTfRegistry::m_OpenKey(Path, &m_hKey, KEY_ALL_ACCESS, FALSE));
    }
    void TearDown() override
    {
        if (m_hKey != nullptr) {
            EXPECT_TRUE(CTfRegistry::m_CloseKey(m_hKey));
        }
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }

    void PutRaw(std::u16string_view name, ULONG type, std::vector<uint8_t> data)
    {
        ASSERT_TRUE(registry().SetValue(kKeyPath, name, type, std::move(data)));
    }
    std::optional<emu::RegistryValue> Raw(std::u16string_view name) { return registry().GetValue(kKeyPath, name); }

    // Reads a string value into a string that holds "keep" beforehand.
    BOOLEAN Query(const WCHAR* pszName, ULONG ulType, std::u16string* pResult)
    {
        CTfString Name(PagedPool, pszName);
        CTfString Value(PagedPool, (const WCHAR*)u"keep");
        BOOLEAN bResult = CTfRegistry::m_QueryString(m_hKey, Name, Value, ulType);
        *pResult = Text(Value);
        return bResult;
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
    HANDLE m_hKey = nullptr;
};

// ----- strings --------------------------------------------------------------------------------

TEST_F(RegistryTest, SetStringStoresNoTerminatorAndEveryLengthReadsBackExactly)
{
    // 1 and 2 characters fit the first query buffer exactly; 4 and 5 need the second query.
    for (std::u16string text : {u"A", u"AB", u"COM", u"COM3", u"COM12", u"0123456789abcdef"}) {
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        CTfString Name(PagedPool, (const WCHAR*)u"Value");
        CTfString Value(PagedPool, (const WCHAR*)text.c_str());
        ASSERT_TRUE(CTfRegistry::m_SetString(m_hKey, Name, Value, REG_SZ));
        EXPECT_EQ(Raw(u"Value"), (emu::RegistryValue{REG_SZ, Bytes(text)}));

        std::u16string result;
        EXPECT_TRUE(Query(u"Value", REG_SZ, &result));
        EXPECT_EQ(result, text);
    }
}

TEST_F(RegistryTest, QueryStringUsesOnlyWholeCharactersUpToTheFirstZero)
{
    struct Case {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
        std::u16string expected;
    } cases[] = {
        {u"Odd", REG_SZ, {'A', 0, 'B'}, u"A"},  // 3 bytes: one whole character
        {u"OddLong", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '7', 0, '9'}, u"COM7"},
        {u"Terminated", REG_SZ, Bytes(std::u16string(u"COM3\0junk", 9)), u"COM3"},
        {u"Multi", REG_MULTI_SZ, Bytes(std::u16string(u"first\0second\0\0", 14)), u"first"},
        {u"NoBytes", REG_SZ, {}, u""},
        {u"OnlyTerminator", REG_EXPAND_SZ, {0, 0}, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        PutRaw(c.name, c.type, c.data);
        std::u16string result;
        EXPECT_TRUE(Query((const WCHAR*)c.name, c.type, &result));
        EXPECT_EQ(result, c.expected);
    }
}

TEST_F(RegistryTest, FailedStringQueriesLeaveTheOutStringUntouched)
{
    std::u16string result;
    PutRaw(u"Expand", REG_EXPAND_SZ, Bytes(u"%SystemRoot%"));
    PutRaw(u"Binary", REG_BINARY, {1, 2, 3, 4});

    EXPECT_FALSE(Query(u"Expand", REG_SZ, &result));  // stored type must match exactly
    EXPECT_EQ(result, u"keep");
    EXPECT_FALSE(Query(u"Binary", REG_BINARY, &result));  // not a string type
    EXPECT_EQ(result, u"keep");
    EXPECT_FALSE(Query(u"Missing", REG_SZ, &result));
    EXPECT_EQ(result, u"keep");

    // Longer than a string can hold: refused rather than cut.
    PutRaw(u"Huge", REG_SZ, Bytes(std::u16string(TF_STRING_MAX_CHARS + 1, u'x')));
    EXPECT_FALSE(Query(u"Huge", REG_SZ, &result));
    EXPECT_EQ(result, u"keep");
    PutRaw(u"Largest", REG_SZ, Bytes(std::u16string(TF_STRING_MAX_CHARS, u'y')));
    EXPECT_TRUE(Query(u"Largest", REG_SZ, &result));
    EXPECT_EQ(result.size(), size_t{TF_STRING_MAX_CHARS});

    // The query itself fails.
    PutRaw(u"Long", REG_SZ, Bytes(u"a longer text"));
    CTfString Name(PagedPool, (const WCHAR*)u"Long");
    CTfString Value(PagedPool, (const WCHAR*)u"keep");
    size_t queries = registry().CallCount(RegistryCall::QueryValueKey);
    registry().FailNextCall(RegistryCall::QueryValueKey, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(CTfRegistry::m_QueryString(m_hKey, Name, Value, REG_SZ));
    EXPECT_EQ(Text(Value), u"keep");
    EXPECT_EQ(registry().CallCount(RegistryCall::QueryValueKey), queries + 1);

    // No pool for the second, full-size buffer.
    machine().GetPool().FailNth(2);
    EXPECT_FALSE(CTfRegistry::m_QueryString(m_hKey, Name, Value, REG_SZ));
    EXPECT_EQ(Text(Value), u"keep");
    machine().GetPool().ClearFaults();
    EXPECT_TRUE(CTfRegistry::m_QueryString(m_hKey, Name, Value, REG_SZ));
    EXPECT_EQ(Text(Value), u"a longer text");
}

TEST_F(RegistryTest, StringWritesStoreExactlyTheirTerminators)
{
    CTfString Path(PagedPool, (const WCHAR*)kKeyPath);
    CTfString Name(PagedPool, (const WCHAR*)u"Written");
    CTfString Text(PagedPool, (const WCHAR*)u"abc");
    CTfString Empty(PagedPool);
    struct Case {
        BOOLEAN bByHandle;  // m_SetString, else m_WriteString
        CTfString* pValue;
        ULONG type;
        std::u16string stored;
    } cases[] = {
        {TRUE, &Text, REG_SZ, u"abc"},
        {FALSE, &Text, REG_SZ, std::u16string(u"abc\0", 4)},
        {TRUE, &Empty, REG_SZ, u""},  // no bytes at all
        {FALSE, &Empty, REG_EXPAND_SZ, std::u16string(u"\0", 1)},
        {TRUE, &Text, REG_MULTI_SZ, std::u16string(u"abc\0\0", 5)},
        {FALSE, &Text, REG_MULTI_SZ, std::u16string(u"abc\0\0", 5)},
        {TRUE, &Empty, REG_MULTI_SZ, std::u16string(u"\0\0", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.size());
        ASSERT_TRUE(c.bByHandle ? CTfRegistry::m_SetString(m_hKey, Name, *c.pValue, c.type)
                                : CTfRegistry::m_WriteString(TF_REGISTRY_ABSOLUTE, Path, Name, *c.pValue, c.type));
        EXPECT_EQ(Raw(u"Written"), (emu::RegistryValue{c.type, Bytes(c.stored)}));
    }
    std::u16string result;
    EXPECT_TRUE(Query(u"Written", REG_MULTI_SZ, &result));
    EXPECT_EQ(result, u"");

    EXPECT_FALSE(CTfRegistry::m_WriteString(TF_REGISTRY_ABSOLUTE, Path, Name, Text, REG_BINARY));
    EXPECT_FALSE(CTfRegistry::m_SetString(m_hKey, Name, Text, REG_DWORD));
    EXPECT_FALSE(CTfRegistry::m_WriteString(6, Path, Name, Text, REG_SZ));
}

// ----- numbers --------------------------------------------------------------------------------

TEST_F(RegistryTest, QueryDwordAcceptsOnlyFourByteDwords)
{
    CTfString Name(PagedPool, (const WCHAR*)u"Number");
    ULONG ulValue = 0xDEADBEEF;

    ASSERT_TRUE(CTfRegistry::m_SetDword(m_hKey, Name, 0x12345678));
    EXPECT_EQ(Raw(u"Number"), (emu::RegistryValue{REG_DWORD, {0x78, 0x56, 0x34, 0x12}}));
    EXPECT_TRUE(CTfRegistry::m_QueryDword(m_hKey, Name, &ulValue));
    EXPECT_EQ(ulValue, 0x12345678u);

    ulValue = 0xDEADBEEF;
    PutRaw(u"Number", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(CTfRegistry::m_QueryDword(m_hKey, Name, &ulValue));
    PutRaw(u"Number", REG_BINARY, {1, 0, 0, 0});
    EXPECT_FALSE(CTfRegistry::m_QueryDword(m_hKey, Name, &ulValue));
    PutRaw(u"Number", REG_DWORD, {1, 0});
    EXPECT_FALSE(CTfRegistry::m_QueryDword(m_hKey, Name, &ulValue));
    CTfString Missing(PagedPool, (const WCHAR*)u"Missing");
    EXPECT_FALSE(CTfRegistry::m_QueryDword(m_hKey, Missing, &ulValue));
    EXPECT_EQ(ulValue, 0xDEADBEEFu);
}

TEST_F(RegistryTest, DwordWritesByRootAndReadsByPathTouchTheValueOnlyOnSuccess)
{
    // Relative to the Services root; the final key is created.
    CTfString Name(PagedPool, (const WCHAR*)u"Count");
    CTfString Service(PagedPool, (const WCHAR*)u"Portdrv39");
    CTfString Parameters(PagedPool, (const WCHAR*)u"Portdrv39\\Parameters");
    ASSERT_TRUE(CTfRegistry::m_CreateKeyPath(TF_REGISTRY_SERVICES, Service));
    ASSERT_TRUE(CTfRegistry::m_WriteDword(TF_REGISTRY_SERVICES, Parameters, Name, 3));
    const std::u16string absolute = std::u16string(kServices) + u"\\Portdrv39\\Parameters";
    EXPECT_EQ(registry().GetDword(absolute, u"Count"), 3u);

    ULONG ulValue = 0;
    CTfString Absolute(PagedPool, (const WCHAR*)absolute.c_str());
    EXPECT_TRUE(CTfRegistry::m_QueryAbsoluteDword(Absolute, Name, &ulValue));
    EXPECT_EQ(ulValue, 3u);

    ulValue = 42;
    CTfString Missing(PagedPool, (const WCHAR*)u"Missing");
    EXPECT_FALSE(CTfRegistry::m_QueryAbsoluteDword(Absolute, Missing, &ulValue));
    CTfString NoKey(PagedPool, (const WCHAR*)u"\\Registry\\Machine\\Software\\NoSuchKey");
    EXPECT_FALSE(CTfRegistry::m_QueryAbsoluteDword(NoKey, Name, &ulValue));
    EXPECT_EQ(ulValue, 42u);

    registry().FailNextCall(RegistryCall::SetValueKey, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(CTfRegistry::m_WriteAbsoluteDword(Absolute, Name, 8));
    EXPECT_EQ(registry().GetDword(absolute, u"Count"), 3u);
}

TEST_F(RegistryTest, StringsThatFailedToBuildAreRefusedBeforeAnyRegistryCall)
{
    machine().GetPool().FailNextWithTag(kTracked);
    CTfString Broken(PagedPool, (const WCHAR*)u"Count");
    ASSERT_NE(Broken.m_GetStatus(), STATUS_SUCCESS);

    size_t sets = registry().CallCount(RegistryCall::SetValueKey);
    size_t queries = registry().CallCount(RegistryCall::QueryValueKey);
    size_t opens = registry().CallCount(RegistryCall::OpenKey);
    ULONG ulValue = 0;
    EXPECT_FALSE(CTfRegistry::m_SetDword(m_hKey, Broken, 1));
    EXPECT_FALSE(CTfRegistry::m_QueryDword(m_hKey, Broken, &ulValue));
    EXPECT_FALSE(CTfRegistry::m_QueryAbsoluteDword(Broken, Broken, &ulValue));
    CTfString Value(PagedPool);
    EXPECT_FALSE(CTfRegistry::m_QueryString(m_hKey, Broken, Value, REG_SZ));
    EXPECT_EQ(registry().CallCount(RegistryCall::SetValueKey), sets);
    EXPECT_EQ(registry().CallCount(RegistryCall::QueryValueKey), queries);
    EXPECT_EQ(registry().CallCount(RegistryCall::OpenKey), opens);
    EXPECT_FALSE(registry().GetValue(kKeyPath, u"").has_value());  // not taken as the default value
}

// ----- keys and paths -------------------------------------------------------------------------

TEST_F(RegistryTest, MakeRootPathPutsTheRootPrefixAndOneBackslashInFront)
{
    struct Case {
        ULONG root;
        const char16_t* path;
        const char16_t* expected;
    } cases[] = {
        {0, u"Registry", u"\\Registry"},
        {1, u"Portdrv39", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Portdrv39"},
        {1, u"\\Portdrv39", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Portdrv39"},
        {4, u"SERIALCOMM", u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"},
        {5, u"Software", u"\\Registry\\User\\CurrentUser\\Software"},
    };
    for (const Case& c : cases) {
        CTfString Path(PagedPool, (const WCHAR*)c.path);
        ASSERT_TRUE(CTfRegistry::m_MakeRootPath(c.root, Path));
        EXPECT_EQ(Text(Path), c.expected);
    }

    CTfString Path(PagedPool, (const WCHAR*)u"Portdrv39");
    EXPECT_FALSE(CTfRegistry::m_MakeRootPath(6, Path));
    EXPECT_EQ(Text(Path), u"Portdrv39");
    CTfString Empty(PagedPool);
    EXPECT_FALSE(CTfRegistry::m_MakeRootPath(1, Empty));
}

TEST_F(RegistryTest, KeysAreCreatedTestedAndDeletedOneComponentAtATime)
{
    const std::u16string child = std::u16string(kKeyPath) + u"\\Child";
    CTfString ChildPath(PagedPool, (const WCHAR*)child.c_str());
    CTfString ChildName(PagedPool, (const WCHAR*)u"CHILD");  // names compare without case
    HANDLE hKey = (HANDLE)0x1234;
    EXPECT_FALSE(CTfRegistry::m_OpenKey(ChildPath, &hKey, KEY_READ, FALSE));
    EXPECT_EQ(hKey, (HANDLE)0x1234);
    EXPECT_FALSE(CTfRegistry::m_KeyExists(m_hKey, ChildName));

    ASSERT_TRUE(CTfRegistry::m_OpenSubKey(m_hKey, ChildName, &hKey, KEY_ALL_ACCESS, TRUE));
    EXPECT_TRUE(CTfRegistry::m_CloseKey(hKey));
    EXPECT_TRUE(CTfRegistry::m_KeyExists(m_hKey, ChildName));
    EXPECT_TRUE(CTfRegistry::m_DeleteKey(ChildPath));
    EXPECT_FALSE(registry().KeyExists(child));
    EXPECT_FALSE(CTfRegistry::m_DeleteKey(ChildPath));

    CTfString Service(PagedPool, (const WCHAR*)u"Portdrv39");
    ASSERT_TRUE(CTfRegistry::m_CreateKeyPath(TF_REGISTRY_SERVICES, Service));
    EXPECT_EQ(Text(Service), u"Portdrv39");  // the caller's path is not changed
    EXPECT_TRUE(registry().KeyExists(std::u16string(kServices) + u"\\Portdrv39"));
    CTfString Deep(PagedPool, (const WCHAR*)u"NoParent\\Child");
    EXPECT_FALSE(CTfRegistry::m_CreateKeyPath(TF_REGISTRY_SERVICES, Deep));
    EXPECT_FALSE(registry().KeyExists(std::u16string(kServices) + u"\\NoParent"));
}

}  // namespace
