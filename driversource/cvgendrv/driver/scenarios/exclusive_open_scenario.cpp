// Exclusive opens as an application and the property pages meet them: the framework makes its
// devices exclusive (DeviceIsExclusive, 1 unless the registry says otherwise), so a port that is
// open answers a second open of its name with ERROR_ACCESS_DENIED, while the pages still reach the
// port's configuration interface, whose path opens the child's physical device object.
#include "framework_scenario.h"

#include <cstring>

// The codes are shared with user mode; this executable does not see the tools library's folders.
#include "../../../../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"

namespace tfscenario {
namespace {

constexpr char16_t kPortPath[] = u"\\\\.\\TFXCOM";

class ExclusiveOpenScenario : public FrameworkScenario {
protected:
    NTSTATUS PlugPort()
    {
        WriteBusRegistry({{1}});
        Reg().SetString(HardwareKey(ChildInstancePath(1)), u"SymbolicLinkName", u"TFXCOM");
        return Plug();
    }

    // The size of the port's own set, asked through the configuration interface.
    bool AskSize(HANDLE config)
    {
        ULONG header[2] = {0, TF_USERMODE_DEFAULT_SET_INDEX};
        std::vector<uint8_t> input(sizeof header), output(4);
        std::memcpy(input.data(), header, sizeof header);
        return Control(config, IOCTL_TF_USERMODE_GET_SIZE, input, output);
    }
};

TEST_F(ExclusiveOpenScenario, AnOpenPortRefusesASecondOpenWhileThePagesReachItsConfigurationInterface)
{
    ASSERT_EQ(PlugPort(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = FunctionFdo(1);
    PDEVICE_OBJECT pdo = ChildPdo(1);
    ASSERT_NE(fdo, nullptr);
    ASSERT_NE(pdo, nullptr);
    EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(pdo->Flags & DO_EXCLUSIVE);

    // An application holds the port, and the pages its configuration interface, at once.
    HANDLE port = Open(kPortPath);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE config = Open(PortInterfacePath(1));
    ASSERT_NE(config, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(fdo->ReferenceCount, 1);
    EXPECT_EQ(pdo->ReferenceCount, 1);
    EXPECT_TRUE(AskSize(config));

    // A second open of either name is refused, and the driver never hears of it.
    size_t mark = RecordMark(kFuncService);
    EXPECT_EQ(Open(kPortPath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Open(PortInterfacePath(1)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Lines(Record(kFuncService, mark), "2 ").empty());

    // Once the application has closed the port, the next one opens it.
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(fdo->ReferenceCount, 0);
    port = Open(kPortPath);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(AskSize(config));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(CloseHandle(config));
    EXPECT_EQ(pdo->ReferenceCount, 0);
}

}  // namespace
}  // namespace tfscenario
