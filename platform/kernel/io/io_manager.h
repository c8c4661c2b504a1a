// The I/O manager of the emulated machine: IRP memory and ownership, the request path down a device
// stack and back up, cancellation, and the Plug and Play property table of device objects.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace emu {

class Kernel;
class FileObjects;

// What the I/O manager does for the caller when a request it built reaches the top of its stack.
struct RequestFinish {
    PVOID callerOutput = nullptr;  // buffered output is copied back here
    ULONG callerOutputLength = 0;
    bool copyOutput = false;
    PIO_STATUS_BLOCK iosb = nullptr;
    PKEVENT event = nullptr;
    // Told the final status after the IRP is gone and before the event is set (user-mode I/O).
    std::function<void(const IO_STATUS_BLOCK&)> onFinished;
};

// A scripted answer of IoGetDeviceProperty, returned instead of the property table.
struct PropertyAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG reportedLength = 0;  // what *ResultLength receives
};

class IoManager {
public:
    explicit IoManager(Kernel& machine);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // ---- IRP memory --------------------------------------------------------------------------
    // A zeroed IRP with stackSize locations, IoStatus {0, 0} and its stack pointer one past the
    // last location. Null when stackSize is out of range or a failure was injected.
    PIRP AllocateIrp(CCHAR stackSize);
    // A request the I/O manager finishes itself at the top of the stack (copy-back, status block,
    // event, then freeing it), with a system buffer of systemBufferLength bytes when non-zero.
    PIRP AllocateBuiltIrp(CCHAR stackSize, ULONG systemBufferLength, RequestFinish finish);
    void FreeIrp(PIRP irp);
    void ReuseIrp(PIRP irp, NTSTATUS status);
    // The next IRP allocation (IoAllocateIrp, IoBuild...Request) fails.
    void FailNextAllocate(size_t count = 1);

    // ---- Files -------------------------------------------------------------------------------
    // The file objects opened on devices, and the open count of each device.
    FileObjects& Files() { return *m_fileObjects; }

    // ---- The request path --------------------------------------------------------------------
    NTSTATUS CallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
    void CompleteRequest(PIRP irp);
    BOOLEAN CancelIrp(PIRP irp);
    void AcquireCancelSpinLock(PKIRQL irql);
    void ReleaseCancelSpinLock(KIRQL irql);

    // ---- Census for tests --------------------------------------------------------------------
    bool IsLiveIrp(PIRP irp) const;
    size_t LiveIrpCount() const;
    // IRPs sent down (IofCallDriver) that have not come back to their sender.
    size_t InFlightIrpCount() const;
    size_t InFlightIrpCount(PDEVICE_OBJECT deviceObject) const;
    // Those IRPs, each with the major and minor function of the location the device holds.
    struct HeldIrp {
        PIRP irp;
        UCHAR major;
        UCHAR minor;
    };
    std::vector<HeldIrp> InFlightIrps(PDEVICE_OBJECT deviceObject) const;

    // ---- Device properties (IoGetDeviceProperty) ----------------------------------------------
    void SetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                           std::vector<uint8_t> bytes);
    // A UTF-16 string property, stored with its terminating zero WCHAR.
    void SetDevicePropertyString(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                 std::u16string_view text);
    void RemoveDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property);
    // Answers given, in order, to the next IoGetDeviceProperty calls on the device, whatever the
    // property. A scripted success copies what of the table's value fits.
    void ScriptPropertyAnswers(PDEVICE_OBJECT deviceObject, std::vector<PropertyAnswer> answers);
    size_t PropertyCallCount() const;
    size_t PropertyCallCount(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property) const;
    // Drops everything kept for a device object that is going away.
    void ForgetDevice(PDEVICE_OBJECT deviceObject);

    NTSTATUS GetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                               ULONG bufferLength, PVOID buffer, PULONG resultLength);

private:
    enum class IrpState {
        Idle,       // with its owner: never sent, or back from below
        InFlight,   // sent down, not yet back to the sender
        Completed,  // completion reached the top of the stack
    };
    struct IrpRecord {
        std::unique_ptr<std::byte[]> memory;
        CCHAR stackSize = 0;
        IrpState state = IrpState::Idle;
        CHAR senderLocation = 0;  // CurrentLocation of the sender when it sent the IRP down
        uint64_t generation = 0;  // counts send cycles, so a stale completion is recognised
        bool built = false;
        std::unique_ptr<std::byte[]> systemBuffer;
        ULONG systemBufferLength = 0;
        UCHAR builtMajor = 0;
        RequestFinish finish;
    };
    struct CompletionTicket {
        bool ok = false;
        CHAR senderLocation = 0;
        uint64_t generation = 0;
    };
    using PropertyKey = std::pair<PDEVICE_OBJECT, DEVICE_REGISTRY_PROPERTY>;

    PIRP NewIrp(CCHAR stackSize, IrpRecord record);
    static void InitializeIrp(PIRP irp, CCHAR stackSize, size_t totalSize);
    bool TakeInjectedFailure();
    NTSTATUS BeginCall(PIRP irp);
    CompletionTicket BeginCompletion(PIRP irp);
    static bool IsBackWithItsSender(PIRP irp, const IrpRecord& record);
    void MarkReturned(PIRP irp, uint64_t generation);
    void FinishAtTop(PIRP irp, uint64_t generation);
    void FinishBuilt(PIRP irp, IrpRecord& record);
    void RememberFreed(PIRP irp);
    bool WasFreed(PIRP irp) const;

    // ---- The pending protocol of each dispatch (irp_dispatch_check.cpp) ------------------------
    // One call of a dispatch routine for one stack location. It is judged once both its return
    // status and whether its location was marked pending when completion passed it are known.
    struct DispatchFrame {
        PIRP irp;  // null once the IRP has gone
        uint64_t generation;
        CHAR location;
        UCHAR major;
        const void* routine;
        std::optional<NTSTATUS> returned;
        std::optional<bool> marked;
    };
    NTSTATUS Dispatch(PDRIVER_DISPATCH dispatch, PDEVICE_OBJECT deviceObject, PIRP irp);
    uint64_t BeginDispatch(PIRP irp, PDRIVER_DISPATCH routine);
    void EndDispatch(uint64_t frame, NTSTATUS returned);
    // Completion is passing `location` (before it is cleared): the mark that is there now counts.
    void NoteLocationCompleted(PIRP irp, uint64_t generation, CHAR location, bool marked);
    // Under m_mutex: the IRP is freed or reused; its frames can no longer be completed.
    void OrphanFrames(PIRP irp);
    void EraseFrame(uint64_t id);
    void JudgeFrame(const DispatchFrame& frame);
    static void CheckDispatchIrql(PDRIVER_DISPATCH routine, UCHAR major, KIRQL before);

    Kernel& m_kernel;
    KSPIN_LOCK m_cancelLock = 0;

    mutable std::mutex m_mutex;
    std::unordered_map<PIRP, IrpRecord> m_irps;
    std::deque<PIRP> m_freedHistory;  // recently freed IRPs, to name a second free or completion
    size_t m_failAllocations = 0;

    std::map<PropertyKey, std::vector<uint8_t>> m_properties;
    std::map<PDEVICE_OBJECT, std::deque<PropertyAnswer>> m_scriptedAnswers;
    std::map<PropertyKey, size_t> m_propertyCalls;
    size_t m_propertyCallCount = 0;

    std::map<uint64_t, DispatchFrame> m_frames;             // under m_mutex
    std::unordered_multimap<PIRP, uint64_t> m_framesOfIrp;  // those whose IRP is still there
    uint64_t m_nextFrame = 1;
    // Last: its file objects go before the IRPs they may still hold.
    std::unique_ptr<FileObjects> m_fileObjects;
};

}  // namespace emu
