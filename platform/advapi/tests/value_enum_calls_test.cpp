// RegEnumValueW: values in the order they were first set, the in-and-out lengths, a value that
// does not fit, and the end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "cm/registry.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

constexpr std::u16string_view kKey = u"\\Registry\\Machine\\SOFTWARE\\CvTest";

class ValueEnumTest : public MachineTest {};

TEST_F(ValueEnumTest, EnumeratesInOrderAndPassesOverNothing)
{
    Registry& registry = machine().GetRegistry();
    registry.SetDword(kKey, u"Zeta", 7);
    registry.SetValue(kKey, u"Blob", REG_BINARY, std::vector<uint8_t>(64, 1));
    registry.SetString(kKey, u"Alpha", u"text");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CvTest", 0, KEY_READ, &key), ERROR_SUCCESS);

    struct Case {
        DWORD index, nameRoom, dataRoom;
        LSTATUS result;
        std::u16string name;
        DWORD type, dataLength;
    };
    const Case cases[] = {
        {0, 16, 16, ERROR_SUCCESS, u"Zeta", REG_DWORD, 4},
        {1, 16, 16, ERROR_MORE_DATA, u"", 0, 16},       // the data does not fit
        {1, 4, 128, ERROR_MORE_DATA, u"", 0, 128},      // nor does the name with its terminator
        {1, 16, 128, ERROR_SUCCESS, u"Blob", REG_BINARY, 64},
        {2, 16, 128, ERROR_SUCCESS, u"Alpha", REG_SZ, 10},
        {3, 16, 128, ERROR_NO_MORE_ITEMS, u"", 0, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        std::vector<WCHAR> name(c.nameRoom, 0);
        std::vector<BYTE> data(c.dataRoom, 0);
        DWORD nameLength = c.nameRoom, dataLength = c.dataRoom, type = 0;
        EXPECT_EQ(RegEnumValueW(key, c.index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength), c.result);
        if (c.result != ERROR_SUCCESS) continue;
        EXPECT_EQ(std::u16string(name.data()), c.name);
        EXPECT_EQ(nameLength, DWORD(c.name.size()));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(dataLength, c.dataLength);
    }
    RegCloseKey(key);
}

}  // namespace
}  // namespace emu::testing
