// The framework whole, through the platform: a bus built on it starts on a USB PDO, creates its
// children from the registry, the children load the function personality, and removal takes
// everything away again, leaving no block of either image behind.
#include "framework_scenario.h"

#include <algorithm>
#include <cstring>

namespace tfscenario {
namespace {

using Lifecycle = FrameworkScenario;

bool Contains(const std::vector<std::string>& record, const std::string& line)
{
    return std::find(record.begin(), record.end(), line) != record.end();
}

// Position of a line in the record (record.size() when absent).
size_t IndexOf(const std::vector<std::string>& record, const std::string& line)
{
    return static_cast<size_t>(std::find(record.begin(), record.end(), line) - record.begin());
}

// "CVGENDRV_" and the driver key without its backslash, upper-cased.
std::u16string Upper(std::u16string text);
std::u16string ReferenceOf(const std::u16string& driverKey)
{
    std::u16string key = driverKey;
    key.erase(std::remove(key.begin(), key.end(), u'\\'), key.end());
    return u"CVGENDRV_" + Upper(key);
}

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

TEST_F(Lifecycle, StartCreatesTheChildrenFromTheRegistryAndEachLoadsTheFunctionDriver)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    auto bus = BusNode();
    ASSERT_TRUE(bus);
    EXPECT_EQ(bus->state, emu::DeviceNodeState::Started);
    EXPECT_EQ(bus->service, kBusService);

    ASSERT_EQ(ChildNodes().size(), 2u);
    for (ULONG id : {1u, 2u}) {
        auto child = ChildNode(id);
        ASSERT_TRUE(child) << id;
        EXPECT_EQ(child->state, emu::DeviceNodeState::Started);
        EXPECT_EQ(child->service, kFuncService);
        EXPECT_EQ(child->deviceId, kChildDeviceId);
        EXPECT_EQ(child->hardwareIds, (std::vector<std::u16string>{kChildDeviceId}));
        EXPECT_EQ(child->description, u"Tf test port " + std::u16string(1, static_cast<char16_t>(u'0' + id)));
        EXPECT_EQ(child->capabilities.Address, id);
        EXPECT_TRUE(child->capabilities.SurpriseRemovalOK);
        EXPECT_EQ(child->parentPdo, UsbPdo());
        ASSERT_NE(FunctionFdo(id), nullptr);
        EXPECT_EQ(FunctionFdo(id)->DriverObject, Drivers().Find(kFuncService));
    }
    EXPECT_EQ(BusFdo()->DriverObject, Drivers().Find(kBusService));

    // The bus: one device, started, and its set applied for each child's index (created first).
    std::vector<std::string> busRecord = Record(kBusService);
    EXPECT_EQ(Lines(busRecord, "0 "), (std::vector<std::string>{"0 dev1 name=TfBus"}));
    EXPECT_EQ(Lines(busRecord, "5 "), (std::vector<std::string>{"5 dev1"}));
    EXPECT_EQ(Lines(busRecord, "18 "),
              (std::vector<std::string>{"18 dev1 index=1 phase=1 BusSpeed=1000 BusName=TFBUS",
                                        "18 dev1 index=1 phase=0 BusSpeed=1000 BusName=TFBUS",
                                        "18 dev1 index=2 phase=1 BusSpeed=1000 BusName=TFBUS",
                                        "18 dev1 index=2 phase=0 BusSpeed=1000 BusName=TFBUS"}));
    EXPECT_LT(IndexOf(busRecord, "object dev1"), IndexOf(busRecord, "added dev1"));
    EXPECT_LT(IndexOf(busRecord, "added dev1"), IndexOf(busRecord, "0 dev1 name=TfBus"));
    EXPECT_LT(IndexOf(busRecord, "0 dev1 name=TfBus"), IndexOf(busRecord, "5 dev1"));

    // The function driver: one image, two devices named by its own counter.
    std::vector<std::string> funcRecord = Record(kFuncService);
    EXPECT_EQ(Lines(funcRecord, "entry"), (std::vector<std::string>{"entry"}));
    EXPECT_EQ(Lines(funcRecord, "0 "), (std::vector<std::string>{"0 dev1 name=TfFunc", "0 dev2 name=TfFunc1"}));
    EXPECT_EQ(Lines(funcRecord, "5 "), (std::vector<std::string>{"5 dev1", "5 dev2"}));
    EXPECT_TRUE(Contains(funcRecord, "18 dev2 index=1 phase=0 Baudrate=9600 DataBits=8 Flags=0"));

    // The sets' defaults went to the registry as each device's "UI<n>\Default".
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath) + u"\\UI2\\Default", TFTEST_BUS_SET_NUMBER),
              TFTEST_BUS_SET_NUMBER_DEFAULT);
    EXPECT_EQ(Reg().GetDword(HardwareKey(ChildInstancePath(2)) + u"\\UI1", TFTEST_FUNC_SET_BAUD),
              TFTEST_FUNC_SET_BAUD_DEFAULT);
}

TEST_F(Lifecycle, ConfigurationInterfacesAreRegisteredOnEachPdoWithTheDriverKeyReference)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    auto busInterfaces = EnabledInterfaces(kBusInterfaceGuid);
    ASSERT_EQ(busInterfaces.size(), 1u);
    EXPECT_EQ(busInterfaces[0].pdo, UsbPdo());
    EXPECT_EQ(busInterfaces[0].referenceString, ReferenceOf(BusNode()->driverKey));
    EXPECT_FALSE(BusInterfacePath().empty());

    auto portInterfaces = EnabledInterfaces(kPortInterfaceGuid);
    ASSERT_EQ(portInterfaces.size(), 2u);
    for (ULONG id : {1u, 2u}) {
        std::u16string path = PortInterfacePath(id);
        ASSERT_FALSE(path.empty()) << id;
        std::u16string reference = u"\\" + ReferenceOf(ChildNode(id)->driverKey);
        EXPECT_EQ(Upper(path.substr(path.size() - reference.size())), reference);
    }

    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_TRUE(EnabledInterfaces(kBusInterfaceGuid).empty());
    EXPECT_TRUE(EnabledInterfaces(kPortInterfaceGuid).empty());
}

TEST_F(Lifecycle, RemovalTakesEverythingAwayChildrenFirstAndBothImagesUnloadClean)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    size_t busMark = RecordMark(kBusService);
    size_t funcMark = RecordMark(kFuncService);

    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_EQ(UsbPdo()->AttachedDevice, nullptr);
    EXPECT_FALSE(Drivers().IsLoaded(kBusService));
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_EQ(TrackedBlocks(), 0u);

    // Each device heard its removal and lost its object; the image's unload came last.
    std::vector<std::string> funcRecord = Record(kFuncService, funcMark);
    for (std::string dev : {"dev1", "dev2"}) {
        EXPECT_LT(IndexOf(funcRecord, "6 " + dev), IndexOf(funcRecord, "delete " + dev)) << dev;
        EXPECT_LT(IndexOf(funcRecord, "delete " + dev), funcRecord.size()) << dev;
    }
    ASSERT_FALSE(funcRecord.empty());
    EXPECT_EQ(funcRecord.back(), "unload");

    std::vector<std::string> busRecord = Record(kBusService, busMark);
    EXPECT_LT(IndexOf(busRecord, "6 dev1"), IndexOf(busRecord, "delete dev1"));
    ASSERT_FALSE(busRecord.empty());
    EXPECT_EQ(busRecord.back(), "unload");

    // The PnP order: the function driver's devices were gone before the bus's removal.
    std::vector<emu::PnpIrpRecord> log = Pnp().IrpLog();
    size_t lastChildRemove = 0, busRemove = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].minor != IRP_MN_REMOVE_DEVICE) continue;
        if (log[i].pdo == UsbPdo())
            busRemove = i;
        else
            lastChildRemove = i;
    }
    EXPECT_LT(lastChildRemove, busRemove);
}

TEST_F(Lifecycle, PluggedAgainTheImagesLoadAfreshAndTheStoredSetsAreKept)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    // A value the pages would have stored: the next start applies it.
    Reg().SetDword(HardwareKey(ChildInstancePath(1)) + u"\\UI1", TFTEST_FUNC_SET_BAUD, 115200);
    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    size_t funcMark = RecordMark(kFuncService);

    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Drivers().EntryCount(kBusService), 2u);
    EXPECT_EQ(Drivers().EntryCount(kFuncService), 2u);
    EXPECT_EQ(ChildNodes().size(), 2u);

    std::vector<std::string> funcRecord = Record(kFuncService, funcMark);
    EXPECT_EQ(Lines(funcRecord, "entry"), (std::vector<std::string>{"entry"}));
    // A fresh copy of the image counts its devices from 1 again; no phase 1, the sets exist.
    EXPECT_EQ(Lines(funcRecord, "0 "), (std::vector<std::string>{"0 dev1 name=TfFunc", "0 dev2 name=TfFunc1"}));
    EXPECT_TRUE(Lines(funcRecord, "18 dev1 index=1 phase=1").empty());
    EXPECT_TRUE(Contains(funcRecord, "18 dev1 index=1 phase=0 Baudrate=115200 DataBits=8 Flags=0") ||
                Contains(funcRecord, "18 dev2 index=1 phase=0 Baudrate=115200 DataBits=8 Flags=0"));
}

TEST_F(Lifecycle, ChildMarkedNotToBeCreatedAtStartupIsSkipped)
{
    ASSERT_EQ(Plug({{1}, {2, true}, {3}}), STATUS_SUCCESS);
    std::vector<ULONG> ids;
    for (const auto& child : ChildNodes()) ids.push_back(child.capabilities.Address);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<ULONG>{1, 3}));
    EXPECT_FALSE(ChildNode(2));
    EXPECT_EQ(Lines(Record(kFuncService), "5 ").size(), 2u);
}

TEST_F(Lifecycle, MissingChildKeyFailsTheBusStartWithoutChildrenOrLeaks)
{
    WriteBusRegistry({{1}, {2}});
    ASSERT_TRUE(Reg().DeleteTree(HardwareKey(kBusInstancePath) + u"\\Child2"));

    EXPECT_FALSE(NT_SUCCESS(Plug()));
    auto bus = BusNode();
    ASSERT_TRUE(bus);
    EXPECT_NE(bus->state, emu::DeviceNodeState::Started);
    EXPECT_TRUE(ChildNodes().empty());
    EXPECT_FALSE(Drivers().IsLoaded(kFuncService));
    EXPECT_TRUE(Lines(Record(kBusService), "5 ").empty());
    // Teardown removes the failed node: the bus image must unload with nothing left.
}

TEST_F(Lifecycle, PrivateControlCodesReachTheDriversCallbacks)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);

    ControlResult echo = SendControl(BusFdo(), TFTEST_IOCTL_ECHO, {1, 2, 3}, 8);
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.information, 3u);
    EXPECT_EQ(std::vector<uint8_t>(echo.output.begin(), echo.output.begin() + 3), (std::vector<uint8_t>{1, 2, 3}));

    ControlResult internal = SendControl(BusFdo(), TFTEST_IOCTL_INTERNAL_QUERY, {}, 4, true);
    EXPECT_EQ(internal.status, STATUS_SUCCESS);
    ULONG answer = 0;
    std::memcpy(&answer, internal.output.data(), sizeof answer);
    EXPECT_EQ(answer, TFTEST_INTERNAL_ANSWER);
    EXPECT_EQ(SendControl(BusFdo(), TFTEST_CTL(0x8FF)).status, STATUS_NOT_SUPPORTED);

    std::vector<std::string> busRecord = Record(kBusService);
    EXPECT_TRUE(Contains(busRecord, "13 dev1 code=0x80032004 in=3 out=8"));
    EXPECT_TRUE(Contains(busRecord, "11 dev1 code=0x80032040 in=0 out=4"));

    // The function driver answers through its queueing entry.
    ControlResult flushed = SendControl(FunctionFdo(1), TFTEST_IOCTL_FLUSH_RECORD, {}, 4);
    EXPECT_EQ(flushed.status, STATUS_SUCCESS);
    ULONG written = 0;
    std::memcpy(&written, flushed.output.data(), sizeof written);
    EXPECT_EQ(written, RecordMark(kFuncService));
    EXPECT_TRUE(Contains(Record(kFuncService), "14 dev1 code=0x80032000 in=0 out=4"));
}

}  // namespace
}  // namespace tfscenario
