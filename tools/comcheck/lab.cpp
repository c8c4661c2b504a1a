#include "lab.h"

#include <cstdio>
#include <mutex>

#include "cable.h"
#include "dbg/debug_output.h"
#include "ke/clock.h"
#include "line_domain.h"
#include "ob/object_namespace.h"
#include "pnp/pnp_manager.h"
#include "usb_host.h"

namespace comcheck {
namespace {

emu::MachineOptions MachineOptionsFor(const Options& options)
{
    emu::MachineOptions machine;
    machine.clockScale = options.clockScale;
    return machine;
}

emu::devices::ChipConfig ChipConfigFor(ChipKind kind)
{
    return kind == ChipKind::TwoPort ? emu::devices::ChipConfig::DualPort() : emu::devices::ChipConfig::SinglePort();
}

}  // namespace

Lab::Lab(const Options& options) : m_options(options), m_machine(std::make_unique<emu::Machine>(MachineOptionsFor(options)))
{
    // The verbose trace includes what the drivers print to the kernel debugger.
    if (options.verbose) m_machine->GetDebugOutput().SetEcho(true);
}

Lab::~Lab()
{
    if (m_device != nullptr) Unplug();
    m_machine.reset();  // the machine goes before the chip its host still refers to
}

bool Lab::Plug()
{
    emu::devices::ChipConfig config = ChipConfigFor(m_options.chip);
    config.paced = m_options.paced;
    m_chip = std::make_unique<emu::devices::FtdiChip>(config);
    m_machine->GetUsb().Scheduler().SetPaced(m_options.paced);
    ConnectCable();
    m_model = std::make_shared<emu::usb::FtdiChipDevice>(*m_chip);
    m_device = m_machine->GetUsb().Plug(m_model);
    m_machine->GetPnp().WaitIdle();
    return m_device != nullptr;
}

void Lab::ConnectCable()
{
    std::lock_guard lock(emu::devices::ModelLock());
    const emu::devices::Time now = static_cast<emu::devices::Time>(m_machine->GetClock().InterruptTime());
    switch (m_options.cable) {
    case CableKind::Loopback:
        emu::devices::PlugLoopback(now, *m_chip, 1);
        break;
    case CableKind::NullModem:
        emu::devices::ConnectNullModem(now, *m_chip, 1, *m_chip, 2);
        break;
    case CableKind::None:
        break;
    }
}

void Lab::Unplug()
{
    if (m_device == nullptr) return;
    m_machine->GetUsb().Unplug(*m_device);
    m_device = nullptr;
    m_machine->GetPnp().WaitIdle();
}

bool Lab::NameIsLinked(const std::u16string& portName)
{
    return m_machine->GetNamespace().LinkTarget(u"\\??\\" + portName).has_value() ||
           m_machine->GetNamespace().LinkTarget(u"\\DosDevices\\" + portName).has_value();
}

std::vector<std::string> Lab::DeviceLines() const
{
    std::vector<std::string> lines;
    for (const emu::DeviceNodeInfo& node : m_machine->GetPnp().Nodes()) {
        if (node.instancePath.rfind(u"USB\\ROOT_HUB", 0) == 0) continue;
        char line[240];
        std::snprintf(line, sizeof line, "%s: driver %s, %s", std::string(node.instancePath.begin(), node.instancePath.end()).c_str(),
                      node.service.empty() ? "none" : std::string(node.service.begin(), node.service.end()).c_str(),
                      emu::DeviceNodeStateName(node.state));
        std::string text = line;
        if (node.state != emu::DeviceNodeState::Started && node.problem != STATUS_SUCCESS) {
            std::snprintf(line, sizeof line, " (failed with status 0x%08X)", static_cast<unsigned>(node.problem));
            text += line;
        }
        lines.push_back(text);
    }
    return lines;
}

int Lab::LatencyTimerMs(int port)
{
    if (!m_chip) return 0;
    return m_chip->Port(static_cast<emu::devices::Time>(m_machine->GetClock().InterruptTime()), port).settings.latencyMs;
}

double Lab::NowMs() const { return static_cast<double>(m_machine->GetClock().InterruptTime()) / 10000.0; }

std::vector<std::string> Lab::TakeRequestLines()
{
    std::vector<std::string> lines;
    if (!m_chip) return lines;
    std::vector<emu::devices::RequestRecord> log;
    {
        std::lock_guard lock(emu::devices::ModelLock());
        log = m_chip->RequestLog();
        m_chip->ClearRequestLog();
    }
    for (const emu::devices::RequestRecord& r : log) {
        char line[160];
        std::snprintf(line, sizeof line, "  %10.3f ms  port %d  type 0x%02X request %2u value 0x%04X index 0x%04X length %u%s",
                      static_cast<double>(r.time) / 10000.0, r.port, r.setup.requestType, r.setup.request, r.setup.value,
                      r.setup.index, r.setup.length, r.handshake == emu::devices::Handshake::Ack ? "" : "  (refused)");
        lines.emplace_back(line);
    }
    return lines;
}

}  // namespace comcheck
