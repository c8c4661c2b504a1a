// The bus device: the create and release requests with their lengths and results, the duplex
// flag, the parameter set's apply and its push into the ports, power walks, WMI blocks and the
// hardware-ID rule. Port objects are recording doubles here; the image test drives the real ones.
#include <cstring>
#include <thread>

#include "busdevice_harness.h"
#include "ke/dispatcher.h"
#include "pnp/pnp_manager.h"
#include "fake_lower_device.h"

namespace enumdrvtest {
namespace {

using Calls = std::vector<std::string>;

Calls Pushed(ULONG port, ULONG policy, ULONG latency, ULONG latencyTuning, ULONG cpuTuning, ULONG rxFifo,
             ULONG txFifo, ULONG maxBaud)
{
    std::string p = " " + std::to_string(port) + "=";
    return {"PolicyType" + p + std::to_string(policy),
            "MaximumLatency" + p + std::to_string(latency),
            "MaximumLatencyFineTuning" + p + std::to_string(latencyTuning),
            "LowCpuUsageFineTuning" + p + std::to_string(cpuTuning),
            "RxFifoSize" + p + std::to_string(rxFifo),
            "TxFifoSize" + p + std::to_string(txFifo),
            "MaximumBaudRate" + p + std::to_string(maxBaud)};
}

Calls Concat(Calls a, const Calls& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(BusDeviceTest, CreateRequestNeedsExactlyEightBytesInAndOnePointerOut)
{
    struct Case {
        ULONG in, out;
        NTSTATUS status;
    };
    for (Case c : {Case{8, sizeof(void*), STATUS_SUCCESS}, Case{7, sizeof(void*), STATUS_INVALID_PARAMETER},
                   Case{9, sizeof(void*), STATUS_INVALID_PARAMETER}, Case{16, sizeof(void*), STATUS_INVALID_PARAMETER},
                   Case{8, 4, STATUS_INVALID_PARAMETER}, Case{8, 2 * sizeof(void*), STATUS_INVALID_PARAMETER},
                   Case{8, 0, STATUS_INVALID_PARAMETER}}) {
        SCOPED_TRACE(testing::Message() << "in " << c.in << " out " << c.out);
        ISerial* pISerial = nullptr;
        ULONG_PTR information = 0;
        EXPECT_EQ(Create(1, &pISerial, c.in, c.out, &information), c.status);
        bool created = c.status == STATUS_SUCCESS;
        EXPECT_EQ(information, created ? sizeof(void*) : 0u);
        EXPECT_EQ(m_pBus->m_GetPortCount(), created ? 1u : 0u);
        if (created) {
            ASSERT_NE(pISerial, nullptr);
            EXPECT_EQ(pISerial->m_ulSupportedBaudRates, ISERIAL_SUPPORTED_BAUD_UNKNOWN);
            EXPECT_EQ(m_log.Take(), (Calls{"init 1"}));
            EXPECT_EQ(Release(1), STATUS_SUCCESS);
        }
        // A refused request made no port object at all.
        EXPECT_EQ(m_log.Take(), created ? (Calls{"deinit 1", "delete 1"}) : Calls{});
    }
    // Null buffers are refused like wrong lengths.
    ULONG_PTR information = 0;
    UCHAR buffer[16] = {};
    EXPECT_EQ(m_pBus->m_InternalDeviceControlCallback(IOCTL_CREATE_CVISERIAL, nullptr, 8, buffer, sizeof(void*),
                                                      &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_pBus->m_InternalDeviceControlCallback(IOCTL_CREATE_CVISERIAL, buffer, 8, nullptr, sizeof(void*),
                                                      &information),
              STATUS_INVALID_PARAMETER);
    // Any other internal code is not the bus device's.
    EXPECT_EQ(m_pBus->m_InternalDeviceControlCallback(0x8006E00C, buffer, 8, buffer, 8, &information),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(BusDeviceTest, CreateFailuresLeaveNoPort)
{
    m_log.initResult = false;
    EXPECT_EQ(Create(1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_log.Take(), (Calls{"init 1", "deinit 1", "delete 1"}));
    m_log.initResult = true;
    m_log.failAllocation = true;
    EXPECT_EQ(Create(1), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m_log.Take().empty());
    EXPECT_EQ(m_pBus->m_GetPortCount(), 0u);
}

TEST_F(BusDeviceTest, ReleaseNeedsItsRecordLengthAndDeletesEveryPortOfTheNumber)
{
    ASSERT_EQ(Create(2), STATUS_SUCCESS);
    ASSERT_EQ(Create(2), STATUS_SUCCESS);
    ASSERT_EQ(Create(3), STATUS_SUCCESS);
    m_log.Take();
    for (ULONG length : {0u, 4u, 8u, 12u, 24u})
        EXPECT_EQ(Release(2, length), STATUS_INVALID_PARAMETER) << length;
    EXPECT_EQ(m_pBus->m_GetPortCount(), 3u);
    // A number nobody has is released just as well.
    EXPECT_EQ(Release(7), STATUS_SUCCESS);
    EXPECT_EQ(Release(2), STATUS_SUCCESS);
    EXPECT_EQ(m_log.Take(), (Calls{"deinit 2", "delete 2", "deinit 2", "delete 2"}));
    EXPECT_EQ(m_pBus->m_GetPortCount(), 1u);
    // The removal takes the rest.
    m_pBus->m_DoRemoveDevice();
    EXPECT_EQ(m_log.Take(), (Calls{"deinit 3", "delete 3"}));
    EXPECT_EQ(m_pBus->m_GetPortCount(), 0u);
}

TEST_F(BusDeviceTest, DuplexFlagComesFromThePortTypeBitOfThePortNumber)
{
    struct Case {
        ULONG port, portType;
        UCHAR duplex;
    };
    // Port numbers 0 and 33 have no bit in PortType: they are never duplex-capable.
    for (Case c : {Case{2, 2, 1}, Case{2, 1, 0}, Case{1, 1, 1}, Case{32, 0x80000000, 1}, Case{31, 0x80000000, 0},
                   Case{33, 0xFFFFFFFF, 0}, Case{0, 0xFFFFFFFF, 0}, Case{0x80000000, 0xFFFFFFFF, 0}}) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << " PortType " << c.portType);
        Apply({{ENUMDRV_VALUE_PORT_TYPE, c.portType}});
        ISerial* pISerial = nullptr;
        ASSERT_EQ(Create(c.port, &pISerial), STATUS_SUCCESS);
        EXPECT_EQ(pISerial->m_ucDuplex, c.duplex);
        EXPECT_EQ(pISerial->m_Operations.pDuplexMode != nullptr, c.duplex == 1);
        // The FTDI port publishes neither EEPROM access nor LSR/MST insertion.
        EXPECT_EQ(pISerial->m_Operations.pReadEeprom, nullptr);
        EXPECT_EQ(pISerial->m_Operations.pWriteEeprom, nullptr);
        EXPECT_EQ(pISerial->m_Operations.pLsrMstInsertion, nullptr);
        EXPECT_EQ(Release(c.port), STATUS_SUCCESS);
    }
}

TEST_F(BusDeviceTest, NoPortIsDuplexBeforeASetIsApplied)
{
    ISerial* pISerial = nullptr;
    ASSERT_EQ(Create(1, &pISerial), STATUS_SUCCESS);
    EXPECT_EQ(pISerial->m_ucDuplex, 0);
    // Nothing was pushed either: the port keeps its own defaults.
    EXPECT_EQ(m_log.Take(), (Calls{"init 1"}));
}

TEST_F(BusDeviceTest, AnAppliedSetIsPushedIntoEveryPortAndIntoEachNewOne)
{
    // Applied with no port: kept for the ports to come.
    Apply({{ENUMDRV_VALUE_POLICY_TYPE, 1}, {ENUMDRV_VALUE_RX_FIFO_SIZE, 512}});
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    EXPECT_EQ(m_log.Take(), Concat({"init 1"}, Pushed(1, 1, 1040, 0, 192, 512, 128, 1000000)));
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    m_log.Take();

    Apply({{ENUMDRV_VALUE_MAXIMUM_LATENCY, 2000}, {ENUMDRV_VALUE_MAXIMUM_BAUD_RATE, 3000000}});
    Calls pushed = Pushed(1, 0, 2000, 0, 192, 256, 128, 3000000);
    EXPECT_EQ(m_log.Take(), Concat(pushed, pushed));

    // A set only created (its defaults about to be written) is not applied.
    UCHAR storeAgain = 0;
    EXPECT_TRUE(m_pBus->m_UserModeInterface(m_pSet, 1, TF_UMI_PHASE_DEFAULTS, &storeAgain));
    EXPECT_TRUE(m_log.Take().empty());
}

TEST_F(BusDeviceTest, PortsAndWmiGetTheAppliedValuesNotWhatTheFrameworkLoadedLast)
{
    Apply({{ENUMDRV_VALUE_RX_FIFO_SIZE, 384}, {ENUMDRV_VALUE_MAXIMUM_LATENCY_SLIDER_POS, 100}});
    // The framework reloads its one set for a GET_SET or GET_DEFAULTS without applying it.
    Load({{ENUMDRV_VALUE_RX_FIFO_SIZE, 9999}, {ENUMDRV_VALUE_POLICY_TYPE, 7}});
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    EXPECT_EQ(m_log.Take(), Concat({"init 1"}, Pushed(1, 0, 1040, 0, 192, 384, 128, 1000000)));

    std::vector<uint8_t> block = QueryBlock(ENUMDRV_WMI_BLOCK_PARAMETERS);
    ENUMDRV_WMI_PARAMETERS values;
    std::memcpy(&values, block.data(), sizeof(values));
    EXPECT_EQ(values.ulRxFifoSize, 384u);
    EXPECT_EQ(values.ulPolicyType, 0u);
    EXPECT_EQ(values.ulMaximumLatencySliderPos, 100u);
    EXPECT_EQ(values.ulLowCpuUsageFineTuning, 192u);
}

TEST_F(BusDeviceTest, PowerCallbacksWalkEveryPort)
{
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    m_log.Take();
    m_pBus->m_PowerDownResetDevice();
    m_pBus->m_PowerUpInitDevice();
    EXPECT_EQ(m_log.Take(), (Calls{"save 1", "save 1", "restore 1", "restore 1"}));
}

TEST_F(BusDeviceTest, WmiBlocksAnswerTheFirstPortTheAppliedValuesAndTheSchema)
{
    // Nothing yet: every block but the schema reads zeros.
    for (ULONG block : {0u, 1u, 2u}) {
        BOOLEAN result = FALSE;
        std::vector<uint8_t> data = QueryBlock(block, 0, &result);
        EXPECT_TRUE(result);
        EXPECT_EQ(data, std::vector<uint8_t>(data.size(), 0)) << "block " << block;
    }
    BOOLEAN result = FALSE;
    std::vector<uint8_t> mof = QueryBlock(ENUMDRV_WMI_BLOCK_MOF, 0, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(mof, std::vector<uint8_t>(EnumdrvWmiBinaryMof(), EnumdrvWmiBinaryMof() + ENUMDRV_WMI_MOF_SIZE));
    EXPECT_EQ(std::memcmp(mof.data(), "FOMB", 4), 0);

    // Two ports: the first created answers.
    ASSERT_EQ(Create(4), STATUS_SUCCESS);
    ASSERT_EQ(Create(5), STATUS_SUCCESS);
    ENUMDRV_WMI_TIMINGS timings;
    std::memcpy(&timings, QueryBlock(ENUMDRV_WMI_BLOCK_TIMINGS).data(), sizeof(timings));
    EXPECT_EQ(timings.ulParseMicroseconds, 400u);
    EXPECT_EQ(timings.ulBytesReceived, 406u);
    ENUMDRV_WMI_PORT_STATE state;
    std::memcpy(&state, QueryBlock(ENUMDRV_WMI_BLOCK_PORT_STATE).data(), sizeof(state));
    EXPECT_EQ(state.ulOpen, 4u);
    EXPECT_EQ(state.ucXoffReceived, 4);

    // One instance per block, four blocks.
    QueryBlock(ENUMDRV_WMI_BLOCK_TIMINGS, 1, &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
    QueryBlock(4, 0, &result);
    EXPECT_FALSE(result);
}

TEST_F(BusDeviceTest, AReleaseWaitsForAWmiQueryThatUsesThePort)
{
    ASSERT_EQ(Create(1), STATUS_SUCCESS);
    {
        std::lock_guard lock(m_log.mutex);
        m_log.holdPortState = true;
    }
    std::thread query([this] { QueryBlock(ENUMDRV_WMI_BLOCK_PORT_STATE); });
    {
        std::unique_lock lock(m_log.mutex);
        ASSERT_TRUE(m_log.changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_log.insidePortState; }));
    }
    std::thread release([this] { EXPECT_EQ(Release(1), STATUS_SUCCESS); });
    // The release waits for the list while the query holds it.
    EXPECT_TRUE(machine().GetDispatcher().AwaitWaiters(m_pBus->m_GetPortListMutex(), 1, std::chrono::seconds(3)));
    {
        std::lock_guard lock(m_log.mutex);
        m_log.releasePortState = true;
        m_log.changed.notify_all();
    }
    query.join();
    release.join();
    std::lock_guard lock(m_log.mutex);
    EXPECT_FALSE(m_log.deletedWhileInUse);
    EXPECT_EQ(m_log.live, 0);
}

// ---- Hardware-ID rule ------------------------------------------------------------------------------------

TEST(HardwareIdRule, OnlyTheMakersVendorIsAcceptedAndNeverAProductIdBeginningWithF)
{
    struct Case {
        std::u16string id;  // as the rule sees it: upper-cased
        bool accepted;
    };
    for (const Case& c : {Case{u"USB\\VID_0403&PID_6001", true}, Case{u"USB\\VID_0403&PID_6010&MI_01", true},
                          Case{u"USB\\VID_0403&PID_6001&REV_0600", true}, Case{u"USB\\VID_0403&PID_F0C1", false},
                          Case{u"USB\\VID_0403&PID_FFFF&MI_00", false}, Case{u"USB\\VID_0404&PID_6001", false},
                          Case{u"USB\\VID_0403", false}, Case{u"USB\\VID_0403&PI", false}, Case{u"", false},
                          // The prefix found further in is enough; the F rule looks at the start only.
                          Case{u"FTDIBUS\\USB\\VID_0403&PID_F0C1", true}}) {
        UNICODE_STRING id;
        id.Buffer = const_cast<PWCH>(c.id.c_str());
        id.Length = id.MaximumLength = static_cast<USHORT>(c.id.size() * sizeof(char16_t));
        EXPECT_EQ(CCvUsbSamDriver::sm_IsMakersHardwareId(&id) != FALSE, c.accepted)
            << std::string(c.id.begin(), c.id.end());
    }
}

TEST_F(BusDeviceTest, TheRuleReadsTheFirstHardwareIdOfThePdoInUpperCase)
{
    struct Case {
        std::vector<std::u16string> ids;
        bool accepted;
    };
    int instance = 0;
    for (const Case& c : {Case{{u"usb\\vid_0403&pid_6001&rev_0600", u"usb\\vid_0403&pid_6001"}, true},
                          Case{{u"USB\\VID_0403&PID_F0C1&REV_0600"}, false},
                          Case{{u"USB\\VID_1234&PID_6001", u"USB\\VID_0403&PID_6001"}, false}}) {
        // The PDOs outlive the machine, as a bus driver's do.
        emu::testing::FakeLowerDevice& pdo = m_pdos.emplace_back();
        std::u16string path = u"USB\\VID_TEST\\" + std::u16string(1, char16_t(u'0' + instance++));
        machine().GetPnp().AddRootDevice(path, c.ids, pdo.Device());
        EXPECT_EQ(m_pBus->m_CheckHardwareId(pdo.Device()) != FALSE, c.accepted)
            << std::string(c.ids[0].begin(), c.ids[0].end());
    }
}

}  // namespace
}  // namespace enumdrvtest
