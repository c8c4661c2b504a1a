// Test harness of the framework driver object and functional device: a framework driver on a test
// DRIVER_OBJECT, a scriptable PDO below (a root node of the PnP manager with its hardware key),
// a fake driver-specific object whose callback entries record their calls, and requests built by
// the test and sent through the driver's dispatch routines.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/io_manager.h"
#include "pnp/pnp_manager.h"
#include "cm/registry.h"
#include "fake_lower_device.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfdriver.h"
#include "tffunctionaldevice.h"
#include "tfmemorytracker.h"
#include "tfregistryinformationset.h"

namespace tftest {

inline constexpr char16_t kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TfFdoTest";

// What the fake driver-specific object saw, and how its entries answer.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::vector<std::vector<uint8_t>> childWrites;
    bool createResult = true;
    bool entryResult = true;            // entries 0, 2, 3, 4
    bool deviceAddedResult = true;
    bool withSet = false;      // the device-added callback gives the interface a one-value set
    bool setsResult = true;    // entry 18
    ULONG setValue = 0;        // the set's value
    NTSTATUS controlStatus = STATUS_SUCCESS;
    ULONG_PTR controlInformation = 0;
    CTfControlQueue* queueToName = nullptr;
    // Fills the table in the create callback (entries the test wants).
    std::function<void(CTfDeviceCallbacks*)> fill;
    // Runs in the queueing device-control entry (13) with the code and the input, as a driver that
    // stores what it accepts (an XOFF counter's values in the write queue, say).
    std::function<void(ULONG, PVOID, ULONG)> onQueueingControl;
    int deletes = 0;

    void Record(const std::string& call)
    {
        std::lock_guard lock(mutex);
        calls.push_back(call);
        changed.notify_all();
    }
    size_t Count(const std::string& call)
    {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (auto& c : calls) n += c == call;
        return n;
    }
    bool WaitForChildWrites(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return childWrites.size() >= count; });
    }
};

Recorder& Rec();

class CFakeObject : public CTfObject {
public:
    CFakeObject() {}
    virtual ~CFakeObject() {}
};

// The recording entries.
BOOLEAN EntryAddDevice(CTfObject*, CTfDriver*, CTfFunctionalDevice*);
BOOLEAN EntryCreate(CTfObject*);
BOOLEAN EntryClose(CTfObject*);
BOOLEAN EntryCleanup(CTfObject*);
BOOLEAN EntryUserModeInterface(CTfObject*, CTfInformationSet*, ULONG, ULONG, PUCHAR);
void EntryChildWrite(CTfObject*, ULONG, CTfBuffer* pBuffer);
BOOLEAN EntryWrite(CTfObject*, CTfBuffer* pBuffer);
NTSTATUS EntryBufferedControl(CTfObject*, ULONG, PVOID, ULONG, PVOID, ULONG, PULONG_PTR pulInformation);
NTSTATUS EntryQueueingControl(CTfObject*, ULONG, PVOID, ULONG, PVOID, ULONG, PULONG_PTR pulInformation,
                              CTfControlQueue** ppQueue);
NTSTATUS EntryRequestControl(CTfObject*, PIRP pIrp);
BOOLEAN EntryDeviceCreation(CTfObject*, HANDLE, CTfString* pName, CTfString* pLink);

// A request sent to the top of a device stack; the test owns it and reads its completion.
class Request {
public:
    Request(PDEVICE_OBJECT target, UCHAR major, ULONG length = 0, ULONG code = 0, ULONG outputLength = 0);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIO_STACK_LOCATION Stack() { return IoGetNextIrpStackLocation(m_irp); }
    std::vector<uint8_t>& Buffer() { return m_buffer; }
    void SetFileName(const std::u16string& name);
    void NoBuffer() { m_irp->AssociatedIrp.SystemBuffer = nullptr; }
    NTSTATUS Send();
    bool Completed() const { return m_completed.load(); }
    NTSTATUS Status() const { return m_status; }
    ULONG_PTR Information() const { return m_information; }
    bool WaitCompleted();
    PIRP Irp() { return m_irp; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);
    PDEVICE_OBJECT m_target;
    PIRP m_irp = nullptr;
    std::vector<uint8_t> m_buffer;
    FILE_OBJECT m_file{};
    std::u16string m_fileName;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_completed{false};
    NTSTATUS m_status = STATUS_PENDING;
    ULONG_PTR m_information = 0;
};

class FrameworkTest : public emu::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The PDO's hardware key ("Device Parameters") with the FDO values a driver's INF would write.
    void WriteDeviceValues(ULONG policy = 1, const std::u16string& link = u"TFTEST");
    // The same values for a device on another PDO: its own name and link, policy 1, and whether it
    // is the lowest layer (0: it sits on a framework child).
    void WriteDeviceValuesFor(PDEVICE_OBJECT pdo, const std::u16string& name, const std::u16string& link, ULONG policy,
                              ULONG lowest);
    std::u16string HardwareKey(PDEVICE_OBJECT pdo = nullptr);
    // AddDevice through the driver object's entry point.
    NTSTATUS AddDevice();
    PDEVICE_OBJECT Pdo() { return m_pdo->Device(); }
    PDEVICE_OBJECT Fdo() { return m_pdo->Device()->AttachedDevice; }
    CTfFunctionalDevice* Device();
    // Deletes the FDO as a successful removal does.
    void DeleteDevice();
    void Start() { Device()->m_SetPnpState(TF_PNP_STATE_STARTED); }

    std::unique_ptr<emu::testing::TestDriver> m_driver;
    std::unique_ptr<emu::testing::FakeLowerDevice> m_pdo;
    CTfDriverDescription m_description{};
    UNICODE_STRING m_registryPath{};
    bool m_unloaded = false;
};

}  // namespace tftest
