// Harness of the bus device's unit tests: a bus device whose port objects are recording doubles
// (no USB), and the bus parameter set filled from a registry key the test writes.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cm/registry.h"
#include "cvusbsam.h"
#include "ex/pool.h"
#include "fake_lower_device.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"

namespace enumdrvtest {

// What the port doubles did, shared by all of them.
struct PortLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;  // "init 1", "PolicyType 1=0", "deinit 1", "delete 1", ...
    bool initResult = true;
    bool failAllocation = false;
    int live = 0;
    // Staging: a port-state snapshot that waits until the test lets it go.
    bool holdPortState = false;
    bool insidePortState = false;
    bool releasePortState = false;
    bool deletedWhileInUse = false;

    void Note(const std::string& call)
    {
        std::lock_guard lock(mutex);
        calls.push_back(call);
        changed.notify_all();
    }
    std::vector<std::string> Take()
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> taken;
        taken.swap(calls);
        return taken;
    }
};

class CPortDouble : public CFTDI1Port {
public:
    CPortDouble(CCvUsbSamDriver* pBus, ULONG ulPortNumber, PortLog* pLog);
    ~CPortDouble() override;

    BOOLEAN m_Init() override;
    BOOLEAN m_DeInit() override;
    BOOLEAN m_SaveDeviceState() override;
    BOOLEAN m_RestoreDeviceState() override;
    BOOLEAN m_SetPolicyType(ULONG v) override { return Set("PolicyType", v); }
    BOOLEAN m_SetMaximumLatency(ULONG v) override { return Set("MaximumLatency", v); }
    BOOLEAN m_SetMaximumLatencyFineTuning(ULONG v) override { return Set("MaximumLatencyFineTuning", v); }
    BOOLEAN m_SetLowCpuUsageFineTuning(ULONG v) override { return Set("LowCpuUsageFineTuning", v); }
    BOOLEAN m_SetRxFifoSize(ULONG v) override { return Set("RxFifoSize", v); }
    BOOLEAN m_SetTxFifoSize(ULONG v) override { return Set("TxFifoSize", v); }
    BOOLEAN m_SetMaximumBaudRate(ULONG v) override { return Set("MaximumBaudRate", v); }
    // Every value of the blocks carries the port number, so a test sees which port answered.
    void m_GetWmiTimings(PENUMDRV_WMI_TIMINGS pTimings) override;
    void m_GetPortState(PENUMDRV_WMI_PORT_STATE pState) override;

private:
    BOOLEAN Set(const char* name, ULONG value);
    std::string Me() const { return std::to_string(m_GetPortNumber()); }
    PortLog* m_log;
};

class CTestBus : public CCvUsbSamDriver {
public:
    explicit CTestBus(PortLog* pLog) : m_log(pLog) {}

protected:
    CFTDI1Port* m_NewPort(ULONG ulPortNumber) override;

private:
    PortLog* m_log;
};

class BusDeviceTest : public emu::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }

    // IOCTL_CREATE_CVISERIAL with the given lengths (the buffer is as long as the longer).
    NTSTATUS Create(ULONG portNumber, ISerial** ppISerial = nullptr, ULONG inputLength = 8,
                    ULONG outputLength = sizeof(void*), ULONG_PTR* pInformation = nullptr);
    NTSTATUS Release(ULONG portNumber, ULONG inputLength = sizeof(CVISERIAL_RELEASE_REQUEST));
    // Fills the bus parameter set from values written under a key of its own (the others keep
    // their defaults) and applies it as the configuration interface does.
    void Apply(const std::map<std::u16string, ULONG>& values);
    // Loads the set from such a key without applying it (as the framework does for a GET_SET).
    void Load(const std::map<std::u16string, ULONG>& values);
    std::vector<uint8_t> QueryBlock(ULONG block, ULONG instance = 0, BOOLEAN* pResult = nullptr);

    PortLog m_log;
    std::list<emu::testing::FakeLowerDevice> m_pdos;
    CTestBus* m_pBus = nullptr;
    CEnumdrvParameterInformationSet* m_pSet = nullptr;
    size_t m_baseline = 0;
    int m_keys = 0;
};

}  // namespace enumdrvtest
