// The service control manager over the machine's services, as the Remover drives it: looking up
// the package's service names, reading the image path, stopping and deleting a driver service.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "machine_test.h"
#include "program.h"

namespace emu::testing {
namespace {

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

class ServiceManagerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetDrivers().InstallBuiltInImage(u"Enumdrv39.sys", Entry);
        machine().GetDrivers().CreateService(u"Enumdrv39", u"Enumdrv39.sys");
    }
    bool ServiceKeyExists() { return machine().GetRegistry().KeyExists(DriverLoader::ServiceKeyPath(u"Enumdrv39")); }
};

TEST_F(ServiceManagerTest, NamesAreLookedUpWithoutCaseAndOnlyAdministratorsGetFullAccess)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceW(manager, u"PORTDRV39", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    SC_HANDLE service = OpenServiceW(manager, u"ENUMDRV39", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(CloseServiceHandle(manager));

    process::ProgramScope user(std::make_shared<process::Program>(u"C:\\p.exe", false, process::Token::StandardUser()));
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceW(manager, u"Enumdrv39", SERVICE_ALL_ACCESS), nullptr);
    service = OpenServiceW(manager, u"Enumdrv39", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(ServiceManagerTest, TheConfigurationTellsTheSizeItNeedsAndTheImagePathAsStored)
{
    machine().GetRegistry().SetString(DriverLoader::ServiceKeyPath(u"Enumdrv39"), u"ImagePath",
                                      u"System32\\DRIVERS\\Enumdrv39.sys", REG_EXPAND_SZ);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, u"Enumdrv39", SERVICE_ALL_ACCESS);
    DWORD needed = 0;
    std::vector<uint64_t> small(2);
    EXPECT_FALSE(QueryServiceConfigW(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(small.data()), 16, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
    std::vector<uint64_t> buffer((needed + 7) / 8);
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &needed));
    EXPECT_EQ(std::u16string_view(config->lpBinaryPathName), u"System32\\DRIVERS\\Enumdrv39.sys");
    EXPECT_EQ(std::u16string_view(config->lpDisplayName), u"Enumdrv39") << "no display name: the service's name";
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// A deleted service stays, marked, while its driver runs or a handle is open; its key goes when
// both are over.
TEST_F(ServiceManagerTest, ADeletedServiceGoesWhenItHasStoppedAndItsLastHandleCloses)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, u"Enumdrv39", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    SC_HANDLE second = OpenServiceW(manager, u"Enumdrv39", SERVICE_ALL_ACCESS);
    ASSERT_NE(second, nullptr);
    CloseServiceHandle(second);
    EXPECT_TRUE(ServiceKeyExists()) << "a handle is still open and the driver runs";
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(ServiceKeyExists());
    CloseServiceHandle(service);
    EXPECT_FALSE(ServiceKeyExists());
    EXPECT_EQ(OpenServiceW(manager, u"Enumdrv39", SERVICE_ALL_ACCESS), nullptr);
    CloseServiceHandle(manager);
}

}  // namespace
}  // namespace emu::testing
