// The PnP requests Windows sends around a start and a removal reach the framework's handlers: the
// functional devices filter the resource requirements before START, take the capabilities again
// after it (their power tables come from there), and hear the removal relations query before a
// query-remove.
#include "framework_scenario.h"

#include <algorithm>
#include <string>

#include "dbg/trace_system.h"
#include "po/power_manager.h"

namespace tfscenario {
namespace {

// The trace control GUID of the framework's log group for levels 7 to 30; flag bit 0 is level 7.
const GUID kLevel7Group = {0xE7AEB0ED, 0x1E1A, 0x4E66, {0x90, 0xDD, 0x39, 0xD4, 0xFF, 0x71, 0x78, 0x53}};

class PnpRequestsScenario : public FrameworkScenario {
protected:
    void SetUp() override
    {
        FrameworkScenario::SetUp();
        machine().GetTrace().Enable(kLevel7Group, 1);
    }
    // Level-7 lines of both images that contain `text`.
    size_t LogLines(const std::string& text)
    {
        size_t count = 0;
        for (const emu::TraceMessage& message : machine().GetTrace().Messages())
            if (emu::TraceSystem::StringArgument(message).find(text) != std::string::npos) ++count;
        return count;
    }
    std::vector<emu::PnpIrpRecord> LogOf(UCHAR minor)
    {
        std::vector<emu::PnpIrpRecord> records = Pnp().IrpLog();
        std::erase_if(records, [minor](const emu::PnpIrpRecord& record) { return record.minor != minor; });
        return records;
    }
};

TEST_F(PnpRequestsScenario, FunctionalDevicesFilterTheRequirementsAndTakeTheCapabilitiesAfterStart)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);

    // The PDOs below leave the filtering untouched (STATUS_NOT_SUPPORTED): each functional device
    // answered it, the bus's and both Tffunc ones.
    std::vector<emu::PnpIrpRecord> filtered = LogOf(IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    ASSERT_EQ(filtered.size(), 3u);
    for (const emu::PnpIrpRecord& record : filtered) EXPECT_EQ(record.status, STATUS_SUCCESS);

    // Each functional device's completion routine took the capabilities the stack answered.
    EXPECT_EQ(LogLines("sm_QueryCapabilitiesCompletionRoutine - OUT (Success)"), 3u);
    // With them the bus's power table: a system sleep asks for its device's D3, which the USB PDO's
    // capabilities name.
    auto sleep = machine().GetPower().SendSystemPowerIrp(UsbPdo(), IRP_MN_SET_POWER, PowerSystemSleeping3);
    ASSERT_TRUE(sleep->Wait());
    EXPECT_EQ(sleep->Result().Status, STATUS_SUCCESS);
    std::vector<emu::RequestedPowerIrp> requested = machine().GetPower().RequestedIrps();
    ASSERT_EQ(requested.size(), 1u);
    EXPECT_EQ(requested[0].device, UsbPdo());
    EXPECT_EQ(requested[0].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(requested[0].state.DeviceState, PowerDeviceD3);
}

TEST_F(PnpRequestsScenario, EachFunctionalDeviceHearsTheRemovalRelationsQueryBeforeTheQueryRemove)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Pnp().ClearIrpLog();
    ASSERT_EQ(Unplug(), STATUS_SUCCESS);

    EXPECT_EQ(LogLines("IRP_MN_QUERY_DEVICE_RELATIONS RemovalRelations"), 3u);
    std::vector<emu::PnpIrpRecord> log = Pnp().IrpLog();
    auto firstQueryRemove = std::find_if(log.begin(), log.end(), [](const emu::PnpIrpRecord& record) {
        return record.minor == IRP_MN_QUERY_REMOVE_DEVICE;
    });
    const auto relations = std::count_if(log.begin(), firstQueryRemove, [](const emu::PnpIrpRecord& record) {
        return record.minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.detail == RemovalRelations;
    });
    EXPECT_EQ(relations, 3);
}

}  // namespace
}  // namespace tfscenario
