#include "machine/machine.h"

#include "kernel/callback_manager.h"
#include "kernel/clock.h"
#include "kernel/dpc_manager.h"
#include "kernel/driver_loader.h"
#include "kernel/interface_manager.h"
#include "kernel/pnp_manager.h"
#include "kernel/power_manager.h"
#include "kernel/wmi_manager.h"
#include "win32/win32_subsystem.h"
#include "kernel/event_log.h"
#include "kernel/object_namespace.h"
#include "kernel/work_queues.h"
#include "kernel/debug_output.h"
#include "kernel/dispatcher.h"
#include "kernel/io_manager.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/thread_manager.h"
#include "kernel/trace_system.h"
#include "machine/object_manager.h"
#include "machine/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {
std::atomic<Machine*> g_current{nullptr};

// Destroys a component while its pointer still answers, so code running during its shutdown (a
// system thread being joined, a work item draining) can still reach the machine's other parts.
template <class T>
void Destroy(std::unique_ptr<T>& component)
{
    delete component.get();
    (void)component.release();
}

void WdmVersionOf(WindowsVersion windows, UCHAR& major, UCHAR& minor)
{
    switch (windows) {
    case WindowsVersion::Win98: major = 1; minor = 0x00; break;
    case WindowsVersion::WinMe: major = 1; minor = 0x05; break;
    case WindowsVersion::Win2000: major = 1; minor = 0x10; break;
    case WindowsVersion::WinXP: major = 1; minor = 0x20; break;
    case WindowsVersion::Win7: major = 6; minor = 0x01; break;
    case WindowsVersion::Win10: major = 6; minor = 0x03; break;
    default: major = 1; minor = 0x00; break;
    }
}
}  // namespace

Machine::Machine(MachineOptions options) : m_options(options)
{
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "emu::Machine: a machine is already running in this process\n");
        std::abort();
    }
    WdmVersionOf(options.windows, m_wdmMajor, m_wdmMinor);
    m_verifier = std::make_unique<Verifier>();
    m_debug = std::make_unique<DebugOutput>(*this);
    m_clock = std::make_unique<Clock>(*this);
    m_clock->SetScale(options.clockScale);
    m_dispatcher = std::make_unique<Dispatcher>(*this);
    m_pool = std::make_unique<Pool>(*this);
    m_objects = std::make_unique<ObjectManager>();
    m_registry = std::make_unique<Registry>(*this);
    m_trace = std::make_unique<TraceSystem>(*this);
    m_io = std::make_unique<IoManager>(*this);
    m_namespace = std::make_unique<ObjectNamespace>(*this);
    m_callbacks = std::make_unique<CallbackManager>(*this);
    m_eventLog = std::make_unique<EventLog>(*this);
    m_interfaces = std::make_unique<InterfaceManager>(*this);
    m_wmi = std::make_unique<WmiManager>(*this);
    m_power = std::make_unique<PowerManager>(*this);
    m_drivers = std::make_unique<DriverLoader>(*this);
    m_pnp = std::make_unique<PnpManager>(*this);
    m_win32 = std::make_unique<Win32Subsystem>(*this);
    m_dpcs = std::make_unique<DpcManager>(*this);
    m_workQueues = std::make_unique<WorkQueues>(*this);
    m_threads = std::make_unique<ThreadManager>(*this);
}

Machine::~Machine()
{
    Destroy(m_win32);      // user-mode handles close before their devices go
    Destroy(m_pnp);         // device stacks are removed and driver images unloaded while the kernel runs
    Destroy(m_drivers);
    Destroy(m_power);
    Destroy(m_wmi);
    Destroy(m_interfaces);
    m_workQueues->Shutdown();  // queued work items run while everything they may touch is alive
    m_dpcs->Shutdown();        // no DPC runs and no timer fires after this
    Destroy(m_threads);  // every system thread has ended before anything it may touch goes away
    Destroy(m_workQueues);
    Destroy(m_dpcs);
    Destroy(m_eventLog);
    Destroy(m_callbacks);
    Destroy(m_namespace);
    Destroy(m_io);
    Destroy(m_trace);
    Destroy(m_registry);
    Destroy(m_objects);
    Destroy(m_pool);
    Destroy(m_dispatcher);
    Destroy(m_clock);
    Destroy(m_debug);
    Destroy(m_verifier);
    g_current.store(nullptr);
}

Machine& Machine::Current()
{
    Machine* machine = g_current.load();
    if (!machine) {
        std::fprintf(stderr, "emu::Machine: a kernel function was called with no machine running\n");
        std::abort();
    }
    return *machine;
}

Machine* Machine::TryCurrent() { return g_current.load(); }

void Machine::SetWdmVersion(UCHAR major, UCHAR minor)
{
    m_wdmMajor = major;
    m_wdmMinor = minor;
}

bool Machine::IsWdmVersionAvailable(UCHAR major, UCHAR minor) const
{
    return m_wdmMajor > major || (m_wdmMajor == major && m_wdmMinor >= minor);
}

}  // namespace emu
