// A scriptable lower device for tests: a driver object and a device object whose dispatch, for
// every major function, does what the test set: complete at once, pend until the test (or another
// thread) completes the IRP, pend until cancelled, or run a lambda. It records every IRP it gets.
// Pending IRPs are completed (STATUS_CANCELLED) when the device is destroyed.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace emu::testing {

struct ReceivedIrp {
    PIRP irp = nullptr;  // identity only: the IRP may be gone by now
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;  // device controls
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    ULONG length = 0;  // reads and writes
    LONGLONG byteOffset = 0;
    PFILE_OBJECT fileObject = nullptr;
    std::vector<uint8_t> input;  // device-control input, or the bytes of a write
};

class FakeLowerDevice {
public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    class Behaviour {
    public:
        // Completes at once; data goes into the request's output buffer (as much as fits).
        static Behaviour Complete(NTSTATUS status, ULONG_PTR information = 0, std::vector<uint8_t> data = {});
        // Returns STATUS_PENDING; only CompletePending (or the device's end) completes it.
        static Behaviour Pend();
        // Returns STATUS_PENDING with a cancel routine that completes it with STATUS_CANCELLED;
        // CompletePending may also complete it first.
        static Behaviour PendUntilCancelled();
        static Behaviour Custom(Handler handler);

    private:
        friend class FakeLowerDevice;
        enum class Kind { Complete, Pend, PendUntilCancelled, Custom };
        Kind m_kind = Kind::Complete;
        NTSTATUS m_status = STATUS_SUCCESS;
        ULONG_PTR m_information = 0;
        std::vector<uint8_t> m_data;
        Handler m_handler;
    };

    explicit FakeLowerDevice(CCHAR stackSize = 1, ULONG flags = 0);
    ~FakeLowerDevice();
    FakeLowerDevice(const FakeLowerDevice&) = delete;
    FakeLowerDevice& operator=(const FakeLowerDevice&) = delete;

    PDEVICE_OBJECT Device() { return &m_device; }
    PDRIVER_OBJECT Driver() { return &m_driver; }
    void SetStackSize(CCHAR stackSize) { m_device.StackSize = stackSize; }
    void SetFlags(ULONG flags) { m_device.Flags = flags; }

    // The behaviour for every major function, and one for a single major function.
    void SetBehaviour(Behaviour behaviour);
    void SetBehaviour(UCHAR major, Behaviour behaviour);

    // Completes the oldest pending IRP (from any thread). False when none is pending, or when a
    // cancellation has already taken it (the cancel routine completes it then).
    bool CompletePending(NTSTATUS status, ULONG_PTR information = 0, std::vector<uint8_t> data = {});
    size_t PendingCount() const;

    std::vector<ReceivedIrp> Received() const;
    size_t ReceivedCount() const;
    void ClearReceived();
    // Wait (with a real-time bound, so a broken test fails rather than hangs) until that many
    // IRPs have been received, or are pending.
    bool WaitForReceived(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    bool WaitForPending(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;

    // Copies data into the output buffer of the IRP's current stack location, as much as fits.
    static void CopyToOutput(PIRP irp, const std::vector<uint8_t>& data);

private:
    struct Pending {
        PIRP irp;
        bool cancellable;
        bool cancelOwned;  // a cancel routine has been taken out of it and will complete it
    };

    static NTSTATUS Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp);
    static void CancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS Handle(PIRP irp);
    NTSTATUS PendIrp(PIRP irp, bool cancellable);
    void Record(PIRP irp);
    void CompleteTaken(PIRP irp, NTSTATUS status, ULONG_PTR information, const std::vector<uint8_t>& data);
    void CancelEverythingPending();

    DRIVER_OBJECT m_driver{};
    DEVICE_OBJECT m_device{};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Behaviour m_default;
    std::map<UCHAR, Behaviour> m_byMajor;
    std::vector<Pending> m_pending;
    size_t m_completing = 0;  // completions under way outside the lock
    std::vector<ReceivedIrp> m_received;
};

}  // namespace emu::testing
