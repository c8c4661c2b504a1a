// Software tracing: control-block registration, consumer enabling, and recording of the messages
// sent through the loggers.
#include "dbg/trace_system.h"

#include "kernel.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

// Larger messages are refused, as a real logger refuses what exceeds its buffers.
constexpr size_t kMaxMessageBytes = 64 * 1024;
constexpr int kMaxArguments = 32;

template <typename T>
void Store(volatile T& field, T value)
{
    std::atomic_ref<T>(const_cast<T&>(field)).store(value);
}

}  // namespace

// The images' blocks are not touched here: by the time the machine goes, the images are gone.
TraceSystem::~TraceSystem() = default;

const TraceSystem::Setting* TraceSystem::FindSetting(const GUID& control) const
{
    for (const Setting& setting : m_settings)
        if (IsEqualGUID(setting.control, control)) return &setting;
    return nullptr;
}

void TraceSystem::Apply(const Logger& logger, TRACEHANDLE handle, const Setting* setting)
{
    PWPP_TRACE_CONTROL_BLOCK block = logger.block;
    if (!setting) Store<TRACEHANDLE>(block->Logger, 0);  // stop the sends before the flags go
    Store<ULONG>(block->Flags, setting ? setting->flags : 0);
    Store<UCHAR>(block->Level, setting ? setting->level : 0);
    if (setting) Store<TRACEHANDLE>(block->Logger, handle);
}

void TraceSystem::Enable(const GUID& control, ULONG flags, UCHAR level)
{
    std::lock_guard lock(m_mutex);
    Setting* setting = const_cast<Setting*>(FindSetting(control));
    if (setting) {
        setting->flags = flags;
        setting->level = level;
    } else {
        m_settings.push_back(Setting{control, flags, level});
        setting = &m_settings.back();
    }
    for (const auto& [handle, logger] : m_loggers)
        if (IsEqualGUID(logger.control, control)) Apply(logger, handle, setting);
}

void TraceSystem::Disable(const GUID& control)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_settings, [&control](const Setting& s) { return IsEqualGUID(s.control, control); });
    for (const auto& [handle, logger] : m_loggers)
        if (IsEqualGUID(logger.control, control)) Apply(logger, handle, nullptr);
}

void TraceSystem::Register(PDRIVER_OBJECT driverObject, PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count)
{
    if (!blocks) return;
    Unregister(blocks);
    std::lock_guard lock(m_mutex);
    Registration registration{driverObject, count, {}};
    for (ULONG index = 0; index < count; ++index) {
        TRACEHANDLE handle = m_nextLogger++;
        Logger logger{blocks[index].ControlGuid, index, &blocks[index]};
        Apply(logger, handle, FindSetting(logger.control));
        m_loggers.emplace(handle, logger);
        registration.loggers.push_back(handle);
    }
    m_registrations.emplace(blocks, std::move(registration));
}

void TraceSystem::Unregister(PWPP_TRACE_CONTROL_BLOCK blocks)
{
    std::lock_guard lock(m_mutex);
    auto it = m_registrations.find(blocks);
    if (it == m_registrations.end()) return;
    for (TRACEHANDLE handle : it->second.loggers) {
        auto logger = m_loggers.find(handle);
        if (logger == m_loggers.end()) continue;
        Apply(logger->second, handle, nullptr);
        m_loggers.erase(logger);
    }
    m_registrations.erase(it);
}

size_t TraceSystem::RegistrationCount() const
{
    std::lock_guard lock(m_mutex);
    return m_registrations.size();
}

NTSTATUS TraceSystem::Send(TRACEHANDLE logger, ULONG messageFlags, LPCGUID messageGuid, USHORT messageNumber,
                           va_list arguments)
{
    TraceMessage message;
    message.messageNumber = messageNumber;
    message.messageFlags = messageFlags;
    if (messageGuid) message.messageGuid = *messageGuid;
    size_t total = 0;
    for (int count = 0;; ++count) {
        PVOID data = va_arg(arguments, PVOID);
        if (!data) break;
        SIZE_T length = va_arg(arguments, SIZE_T);
        total += length;
        if (count == kMaxArguments || total > kMaxMessageBytes) return STATUS_BUFFER_OVERFLOW;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        message.arguments.emplace_back(bytes, bytes + length);
    }

    std::lock_guard lock(m_mutex);
    auto it = m_loggers.find(logger);
    if (it == m_loggers.end() || !FindSetting(it->second.control)) return STATUS_INVALID_HANDLE;
    message.controlGuid = it->second.control;
    message.groupIndex = it->second.groupIndex;
    if (m_echo) Echo(message);
    m_messages.push_back(std::move(message));
    return STATUS_SUCCESS;
}

void TraceSystem::Echo(const TraceMessage& message) const
{
    std::string text = message.arguments.empty() ? std::string() : StringArgument(message);
    std::printf("[trace %lu #%u] %s\n", static_cast<unsigned long>(message.groupIndex),
                static_cast<unsigned>(message.messageNumber), text.c_str());
    std::fflush(stdout);
}

std::vector<TraceMessage> TraceSystem::Messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

void TraceSystem::Clear()
{
    std::lock_guard lock(m_mutex);
    m_messages.clear();
}

void TraceSystem::SetEcho(bool echo)
{
    std::lock_guard lock(m_mutex);
    m_echo = echo;
}

std::string TraceSystem::StringArgument(const TraceMessage& message, size_t index)
{
    if (index >= message.arguments.size()) return {};
    const std::vector<uint8_t>& bytes = message.arguments[index];
    size_t length = bytes.size();
    while (length > 0 && bytes[length - 1] == 0) --length;
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace emu

extern "C" void WppRegisterControlBlocks(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                                         PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count)
{
    emu::Kernel::Current().GetTrace().Register(driverObject, blocks, count);
}

extern "C" void WppUnregisterControlBlocks(PWPP_TRACE_CONTROL_BLOCK blocks)
{
    emu::Kernel::Current().GetTrace().Unregister(blocks);
}

extern "C" NTSTATUS WmiTraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, LPCGUID messageGuid,
                                    USHORT messageNumber, ...)
{
    va_list arguments;
    va_start(arguments, messageNumber);
    NTSTATUS status =
        emu::Kernel::Current().GetTrace().Send(loggerHandle, messageFlags, messageGuid, messageNumber, arguments);
    va_end(arguments);
    return status;
}
