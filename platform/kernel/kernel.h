// The kernel of one emulated Windows computer: the clock, the dispatcher, the pool, the registry,
// the I/O, Plug and Play and power managers and the verifier. The kernel-mode functions of <wdm.h>
// act on the kernel that is running; one runs at a time in a process. The machine builds the
// user-mode subsystems and the devices on top of it.
#pragma once

#include <wdm.h>

#include <memory>

namespace emu {

class Clock;
class Dispatcher;
class ThreadManager;
class Pool;
class Registry;
class IoManager;
class TraceSystem;
class DebugOutput;
class ObjectManager;
class Verifier;
class DpcManager;
class WorkQueues;
class ObjectNamespace;
class CallbackManager;
class EventLog;
class PnpManager;
class DriverLoader;
class PowerManager;
class InterfaceManager;
class WmiManager;

enum class WindowsVersion { Win95, Win98, WinMe, Win2000, WinXP, Win7, Win10 };

struct KernelOptions {
    WindowsVersion windows = WindowsVersion::Win7;
    // Clock rate against real time: 1 runs in real time, 100 runs a hundred times faster.
    double clockScale = 1.0;
};

class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    virtual ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The running kernel. Calling a kernel function with none running is a programming error.
    static Kernel& Current();
    static Kernel* TryCurrent();

    const KernelOptions& Options() const { return m_options; }
    WindowsVersion Windows() const { return m_options.windows; }
    // Version pair that IoIsWdmVersionAvailable compares against; tests may override it.
    void SetWdmVersion(UCHAR major, UCHAR minor);
    bool IsWdmVersionAvailable(UCHAR major, UCHAR minor) const;
    // The size class MmQuerySystemSize answers (medium unless a test sets another).
    void SetSystemSize(MM_SYSTEMSIZE size) { m_systemSize = size; }
    MM_SYSTEMSIZE SystemSize() const { return m_systemSize; }

    Verifier& GetVerifier() { return *m_verifier; }
    Clock& GetClock() { return *m_clock; }
    Dispatcher& GetDispatcher() { return *m_dispatcher; }
    ObjectManager& GetObjectManager() { return *m_objects; }
    ThreadManager& GetThreads() { return *m_threads; }
    Pool& GetPool() { return *m_pool; }
    Registry& GetRegistry() { return *m_registry; }
    IoManager& GetIo() { return *m_io; }
    TraceSystem& GetTrace() { return *m_trace; }
    DebugOutput& GetDebugOutput() { return *m_debug; }
    DpcManager& GetDpcs() { return *m_dpcs; }
    WorkQueues& GetWorkQueues() { return *m_workQueues; }
    ObjectNamespace& GetNamespace() { return *m_namespace; }
    CallbackManager& GetCallbacks() { return *m_callbacks; }
    EventLog& GetEventLog() { return *m_eventLog; }
    PnpManager& GetPnp() { return *m_pnp; }
    DriverLoader& GetDrivers() { return *m_drivers; }
    PowerManager& GetPower() { return *m_power; }
    InterfaceManager& GetInterfaces() { return *m_interfaces; }
    WmiManager& GetWmi() { return *m_wmi; }
    // Null once the component has gone, for what the machine's shutdown may still free late (the
    // memory of a device object that was referenced to the end).
    DpcManager* FindDpcs() { return m_dpcs.get(); }
    DriverLoader* FindDrivers() { return m_drivers.get(); }

private:
    KernelOptions m_options;
    UCHAR m_wdmMajor = 6;
    UCHAR m_wdmMinor = 0;
    MM_SYSTEMSIZE m_systemSize = MmMediumSystem;
    // Declared in construction order; destroyed in reverse, threads first.
    std::unique_ptr<Verifier> m_verifier;
    std::unique_ptr<DebugOutput> m_debug;
    std::unique_ptr<Clock> m_clock;
    std::unique_ptr<Dispatcher> m_dispatcher;
    std::unique_ptr<Pool> m_pool;
    std::unique_ptr<ObjectManager> m_objects;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<TraceSystem> m_trace;
    std::unique_ptr<IoManager> m_io;
    std::unique_ptr<ObjectNamespace> m_namespace;
    std::unique_ptr<CallbackManager> m_callbacks;
    std::unique_ptr<EventLog> m_eventLog;
    std::unique_ptr<InterfaceManager> m_interfaces;
    std::unique_ptr<WmiManager> m_wmi;
    std::unique_ptr<PowerManager> m_power;
    std::unique_ptr<DriverLoader> m_drivers;
    std::unique_ptr<PnpManager> m_pnp;
    std::unique_ptr<DpcManager> m_dpcs;
    std::unique_ptr<WorkQueues> m_workQueues;
    std::unique_ptr<ThreadManager> m_threads;
};

}  // namespace emu
