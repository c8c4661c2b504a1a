#include "cm/registry.h"

#include <cstring>
#include <string>
#include <vector>

#include "rtl/rtl_text.h"
#include "ob/object_manager.h"
#include "machine_test.h"

namespace emu {
namespace {

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

class RegistryTest : public testing::MachineTest {
protected:
    Registry& registry() { return machine().GetRegistry(); }

    NTSTATUS Open(const std::u16string& path, HANDLE* key, HANDLE root = nullptr)
    {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                            const_cast<PWCH>(path.c_str())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(key, KEY_READ, &attributes);
    }

    NTSTATUS Create(const std::u16string& path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr)
    {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                            const_cast<PWCH>(path.c_str())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    static UNICODE_STRING Name(const char16_t* text)
    {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return s;
    }

    static std::vector<uint8_t> Bytes(const void* data, size_t size)
    {
        auto* p = static_cast<const uint8_t*>(data);
        return std::vector<uint8_t>(p, p + size);
    }

    std::u16string ServiceKey(const std::u16string& name) { return std::u16string(kServices) + u"\\" + name; }
};

TEST_F(RegistryTest, StandardTreeIsThere)
{
    for (const char16_t* path :
         {kServices, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System",
          u"\\Registry\\Machine\\System\\CurrentControlSet\\Control", u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
          u"\\Registry\\Machine\\Hardware\\DeviceMap", u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
          u"\\Registry\\User\\CurrentUser"})
        EXPECT_TRUE(registry().KeyExists(path)) << NarrowText(path);
    EXPECT_FALSE(registry().DeleteKey(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Nothing"));
    EXPECT_FALSE(registry().DeleteTree(u"\\Registry\\Machine\\System"));
}

TEST_F(RegistryTest, QueryValuePartialInformationSizeRegimes)
{
    ASSERT_TRUE(registry().SetValue(ServiceKey(u"Cvuvcp"), u"PortName", REG_SZ, Bytes(u"COM3", 8)));
    HANDLE key;
    ASSERT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"PortName");
    const ULONG full = 12 + 8;

    uint8_t buffer[64];
    ULONG result = 0;
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, full);
    EXPECT_EQ(buffer[0], 0xEE);

    result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, full);
    const uint8_t header[] = {0, 0, 0, 0, REG_SZ, 0, 0, 0, 8, 0, 0, 0, 'C', 0};
    EXPECT_EQ(Bytes(buffer, 14), Bytes(header, 14));
    EXPECT_EQ(buffer[14], 0xEE);

    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, full);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(0, std::memcmp(info->Data, u"COM3", 8));
    EXPECT_EQ(buffer[full], 0xEE);  // no terminator is added

    UNICODE_STRING missing = Name(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(RegistryTest, BasicAndFullInformation)
{
    ASSERT_TRUE(registry().SetDword(ServiceKey(u"Cvuvcp"), u"Start", 3));
    HANDLE key;
    ASSERT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"start");
    alignas(8) uint8_t buffer[64];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(result, 12u + 10u);
    EXPECT_EQ(basic->Type, ULONG{REG_DWORD});
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"Start");

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* fullInfo = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(fullInfo->DataOffset % 4, 0u);
    EXPECT_GE(fullInfo->DataOffset, 20u + 10u);
    EXPECT_EQ(result, fullInfo->DataOffset + 4);
    ULONG value;
    std::memcpy(&value, buffer + fullInfo->DataOffset, 4);
    EXPECT_EQ(value, 3u);
    ZwClose(key);
}

TEST_F(RegistryTest, ValuesKeepExactBytes)
{
    HANDLE key;
    ASSERT_EQ(Create(ServiceKey(u"Bytes"), &key), STATUS_SUCCESS);
    UNICODE_STRING odd = Name(u"Odd"), empty = Name(u"Empty"), unnamed = Name(u"");
    const uint8_t five[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(ZwSetValueKey(key, &odd, 0, REG_BINARY, const_cast<uint8_t*>(five), 5), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetValueKey(key, &empty, 0, REG_SZ, nullptr, 0), STATUS_SUCCESS);
    ULONG dword = 0x12345678;
    ASSERT_EQ(ZwSetValueKey(key, &unnamed, 0, REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &odd, 0, REG_BINARY, nullptr, 3), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(registry().GetValue(ServiceKey(u"Bytes"), u"ODD"), (RegistryValue{REG_BINARY, Bytes(five, 5)}));
    EXPECT_EQ(registry().GetValue(ServiceKey(u"Bytes"), u"Empty"), (RegistryValue{REG_SZ, {}}));
    EXPECT_EQ(registry().GetDword(ServiceKey(u"Bytes"), u""), 0x12345678u);

    uint8_t buffer[32];
    ULONG result;
    ASSERT_EQ(ZwQueryValueKey(key, &odd, KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 17u);

    UNICODE_STRING gone = Name(u"odd");
    EXPECT_EQ(ZwDeleteValueKey(key, &gone), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &gone), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(registry().GetValue(ServiceKey(u"Bytes"), u"Odd"));
    ZwClose(key);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirSpelling)
{
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(Create(ServiceKey(u"MyDrv"), &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_CREATED_NEW_KEY});
    ZwClose(key);
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SYSTEM\\currentcontrolset\\SERVICES\\mydrv", &key, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_OPENED_EXISTING_KEY});
    EXPECT_EQ(registry().CanonicalPath(u"\\registry\\machine\\system\\CurrentControlSet\\services\\MYDRV"),
              ServiceKey(u"MyDrv"));

    UNICODE_STRING first = Name(u"DebugMask"), second = Name(u"DEBUGMASK");
    ULONG one = 1, two = 2;
    ASSERT_EQ(ZwSetValueKey(key, &first, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetValueKey(key, &second, 0, REG_DWORD, &two, 4), STATUS_SUCCESS);
    EXPECT_EQ(registry().ValueNames(ServiceKey(u"MyDrv")), std::vector<std::u16string>{u"DebugMask"});
    EXPECT_EQ(registry().GetDword(ServiceKey(u"mydrv"), u"debugmask"), 2u);
    ZwClose(key);
}

TEST_F(RegistryTest, CreateKeyMakesOnlyTheLastComponent)
{
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(Create(ServiceKey(u"Missing\\Child"), &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(registry().KeyExists(ServiceKey(u"Missing")));
    EXPECT_EQ(Open(ServiceKey(u"Missing"), &key), STATUS_OBJECT_NAME_NOT_FOUND);

    HANDLE parent, child;
    ASSERT_EQ(Create(ServiceKey(u"Parent"), &parent), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Child", &child, nullptr, parent), STATUS_SUCCESS);  // relative to the parent
    EXPECT_TRUE(registry().KeyExists(ServiceKey(u"Parent\\Child")));
    EXPECT_EQ(Create(u"\\Child", &key, nullptr, parent), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(ServiceKey(u"Parent\\\\Child"), &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"Registry\\Machine", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    ZwClose(child);
    ZwClose(parent);
}

TEST_F(RegistryTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    HANDLE parent, child;
    ASSERT_EQ(Create(ServiceKey(u"Parent"), &parent), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Child", &child, nullptr, parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    EXPECT_FALSE(registry().KeyExists(ServiceKey(u"Parent")));
    ZwClose(child);
    ZwClose(parent);

    HANDLE top;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Hardware", &top), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(top), STATUS_CANNOT_DELETE);
    ZwClose(top);
}

TEST_F(RegistryTest, HandleToADeletedKeyAnswersKeyDeleted)
{
    HANDLE deleter, other;
    ASSERT_EQ(Create(ServiceKey(u"Doomed"), &deleter), STATUS_SUCCESS);
    ASSERT_EQ(Open(ServiceKey(u"Doomed"), &other), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(deleter), STATUS_SUCCESS);

    UNICODE_STRING name = Name(u"Value");
    ULONG value = 1, result;
    uint8_t buffer[32];
    EXPECT_EQ(ZwSetValueKey(other, &name, 0, REG_DWORD, &value, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryValueKey(other, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateKey(other, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(other), STATUS_KEY_DELETED);
    HANDLE child;
    EXPECT_EQ(Create(u"Child", &child, nullptr, other), STATUS_KEY_DELETED);

    // The name is free again: a new key of that name starts empty.
    HANDLE fresh;
    ASSERT_EQ(Create(ServiceKey(u"Doomed"), &fresh), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(fresh, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(other, &name, 0, REG_DWORD, &value, 4), STATUS_KEY_DELETED);
    for (HANDLE h : {deleter, other, fresh}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(machine().GetObjectManager().OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, EnumerationOrder)
{
    for (const char16_t* name : {u"beta", u"Alpha", u"GAMMA"}) registry().CreateKey(ServiceKey(u"List\\") + name);
    for (const char16_t* name : {u"Z", u"a", u"M"}) registry().SetDword(ServiceKey(u"List"), name, 0);
    HANDLE key;
    ASSERT_EQ(Open(ServiceKey(u"List"), &key), STATUS_SUCCESS);

    alignas(8) uint8_t buffer[64];
    ULONG result;
    std::vector<std::u16string> keys, values;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result) == STATUS_SUCCESS; ++i) {
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result) == STATUS_SUCCESS; ++i) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Z", u"a", u"M"}));
    EXPECT_EQ(ZwEnumerateKey(key, 3, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u + 10u);
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(RegistryTest, WriteRegistryValueRootsCreateTheFinalKey)
{
    struct Case {
        ULONG root;
        const char16_t* path;
        const char16_t* absolute;
    } cases[] = {
        {RTL_REGISTRY_SERVICES, u"Cvuvcp", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Cvuvcp"},
        {RTL_REGISTRY_CONTROL, u"\\Cv", u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Cv"},
        {RTL_REGISTRY_WINDOWS_NT, u"Cv", u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Cv"},
        {RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"},
        {RTL_REGISTRY_USER, u"Cv", u"\\Registry\\User\\CurrentUser\\Cv"},
        {RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Cv", u"\\Registry\\Machine\\Software\\Cv"},
    };
    for (const Case& c : cases) {
        ULONG value = c.root + 100;
        EXPECT_EQ(RtlWriteRegistryValue(c.root, c.path, u"Number", REG_DWORD, &value, 4), STATUS_SUCCESS)
            << NarrowText(c.path);
        EXPECT_EQ(registry().GetDword(c.absolute, u"Number"), value) << NarrowText(c.absolute);
        EXPECT_EQ(RtlCheckRegistryKey(c.root, const_cast<PWSTR>(c.path)), STATUS_SUCCESS);
        EXPECT_EQ(RtlDeleteRegistryValue(c.root, c.path, u"Number"), STATUS_SUCCESS);
        EXPECT_FALSE(registry().GetValue(c.absolute, u"Number"));
    }
    ULONG value = 0;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"A\\B", u"N", REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(9, u"A", u"N", REG_DWORD, &value, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"A")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"A")), STATUS_SUCCESS);
    EXPECT_TRUE(registry().KeyExists(ServiceKey(u"A")));
    EXPECT_EQ(machine().GetObjectManager().OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, InjectedFaultsFailTheNextCallOnly)
{
    ULONG value = 5;
    registry().FailNextCall(RegistryCall::SetValueKey, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Cvuvcp", u"N", REG_DWORD, &value, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(registry().GetValue(ServiceKey(u"Cvuvcp"), u"N"));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Cvuvcp", u"N", REG_DWORD, &value, 4), STATUS_SUCCESS);

    HANDLE key;
    registry().FailNextCall(RegistryCall::OpenKey, STATUS_ACCESS_DENIED, 2);
    EXPECT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_SUCCESS);
    EXPECT_EQ(registry().CallCount(RegistryCall::OpenKey), 5u);  // two of them inside RtlWriteRegistryValue

    UNICODE_STRING name = Name(u"N");
    uint8_t buffer[32];
    ULONG result;
    registry().FailNextCall(RegistryCall::QueryValueKey, STATUS_UNSUCCESSFUL);
    registry().ClearFaults();
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(RegistryTest, CallsAbovePassiveLevelAreReported)
{
    registry().CreateKey(ServiceKey(u"Cvuvcp"));
    HANDLE key = nullptr;
    {
        testing::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(Open(ServiceKey(u"Cvuvcp"), &key), STATUS_SUCCESS);
        ULONG value = 1;
        EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Cvuvcp", u"N", REG_DWORD, &value, 4), STATUS_SUCCESS);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 2u);
    ZwClose(key);
}

TEST_F(RegistryTest, OnlyUserModeHandlesAreHeldToTheirAccess)
{
    registry().CreateKey(ServiceKey(u"Cvuvcp"));
    HANDLE kernelKey, userKey;
    ASSERT_EQ(registry().NtOpenKey(nullptr, ServiceKey(u"Cvuvcp"), KEY_WRITE, KernelMode, &kernelKey), STATUS_SUCCESS);
    ASSERT_EQ(registry().NtOpenKey(nullptr, ServiceKey(u"Cvuvcp"), KEY_READ, UserMode, &userKey), STATUS_SUCCESS);
    ULONG value = 1, result;
    uint8_t buffer[32];
    EXPECT_EQ(registry().NtSetValueKey(userKey, u"N", REG_DWORD, &value, 4, UserMode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(registry().NtSetValueKey(kernelKey, u"N", REG_DWORD, &value, 4, KernelMode), STATUS_SUCCESS);
    // A kernel-mode read through a handle opened for writing only works, as on Windows.
    EXPECT_EQ(registry().NtQueryValueKey(kernelKey, u"N", KeyValuePartialInformation, buffer, sizeof buffer, &result,
                                         KernelMode),
              STATUS_SUCCESS);
    EXPECT_EQ(registry().NtQueryValueKey(userKey, u"N", KeyValuePartialInformation, buffer, sizeof buffer, &result,
                                         UserMode),
              STATUS_SUCCESS);
    ZwClose(kernelKey);
    ZwClose(userKey);
}

TEST_F(RegistryTest, ShutdownWithOpenHandles)
{
    HANDLE key;
    ASSERT_EQ(Create(ServiceKey(u"Open"), &key), STATUS_SUCCESS);
    ASSERT_TRUE(registry().DeleteTree(ServiceKey(u"Open")));
    HANDLE other;
    ASSERT_EQ(Create(ServiceKey(u"StillOpen"), &other), STATUS_SUCCESS);
    ShutDownMachine();  // AddressSanitizer checks that the keys behind the handles are released cleanly
}

}  // namespace
}  // namespace emu
