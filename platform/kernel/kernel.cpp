#include "kernel.h"

#include "cm/registry.h"
#include "dbg/debug_output.h"
#include "dbg/trace_system.h"
#include "ex/callback_manager.h"
#include "ex/pool.h"
#include "ex/work_queues.h"
#include "io/driver_loader.h"
#include "io/event_log.h"
#include "io/io_manager.h"
#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ke/dpc_manager.h"
#include "ke/thread_manager.h"
#include "ob/object_manager.h"
#include "ob/object_namespace.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "po/power_manager.h"
#include "vf/verifier.h"
#include "wmi/wmi_manager.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {
std::atomic<Kernel*> g_current{nullptr};

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

Kernel::Kernel(KernelOptions options) : m_options(options)
{
    Kernel* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "emu::Kernel: a kernel is already running in this process\n");
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
    m_dpcs = std::make_unique<DpcManager>(*this);
    m_workQueues = std::make_unique<WorkQueues>(*this);
    m_threads = std::make_unique<ThreadManager>(*this);
}

Kernel::~Kernel()
{
    Destroy(m_pnp);         // device stacks are removed and driver images unloaded while the kernel runs
    // Queued work items run while everything they may touch is alive; the device objects they
    // hold go with them, and with those the images that waited for them.
    m_workQueues->Shutdown();
    Destroy(m_drivers);
    Destroy(m_power);
    Destroy(m_wmi);
    Destroy(m_interfaces);
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

Kernel& Kernel::Current()
{
    Kernel* kernel = g_current.load();
    if (!kernel) {
        std::fprintf(stderr, "emu::Kernel: a kernel function was called with no kernel running\n");
        std::abort();
    }
    return *kernel;
}

Kernel* Kernel::TryCurrent() { return g_current.load(); }

void Kernel::SetWdmVersion(UCHAR major, UCHAR minor)
{
    m_wdmMajor = major;
    m_wdmMinor = minor;
}

bool Kernel::IsWdmVersionAvailable(UCHAR major, UCHAR minor) const
{
    return m_wdmMajor > major || (m_wdmMajor == major && m_wdmMinor >= minor);
}

}  // namespace emu
