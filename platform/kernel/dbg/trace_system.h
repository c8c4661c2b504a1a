// Software tracing of the emulated machine. Driver images register their trace control blocks; a
// consumer (a test, or the main job) enables flags per control GUID, which sets the flags and a
// logger handle in every block of that GUID; every message sent through a logger is recorded.
#pragma once

#include <wdm.h>
#include <wpptrace.h>

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

class Kernel;

struct TraceMessage {
    GUID controlGuid{};
    ULONG groupIndex = 0;  // position of the block within its registration, from 0
    GUID messageGuid{};
    USHORT messageNumber = 0;
    ULONG messageFlags = 0;
    std::vector<std::vector<uint8_t>> arguments;
};

class TraceSystem {
public:
    explicit TraceSystem(Kernel& machine) : m_kernel(machine) {}
    ~TraceSystem();
    TraceSystem(const TraceSystem&) = delete;
    TraceSystem& operator=(const TraceSystem&) = delete;

    // Consumer side. Enabling applies to blocks registered now and later.
    void Enable(const GUID& control, ULONG flags, UCHAR level = 5);
    void Disable(const GUID& control);

    std::vector<TraceMessage> Messages() const;
    void Clear();
    // An argument as text, without the terminating zero it was sent with.
    static std::string StringArgument(const TraceMessage& message, size_t index = 0);
    // Prints every message to stdout as it is sent (the main job's trace view).
    void SetEcho(bool echo);
    size_t RegistrationCount() const;

    // Provider side (WppRegisterControlBlocks, WppUnregisterControlBlocks, WmiTraceMessage).
    void Register(PDRIVER_OBJECT driverObject, PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count);
    void Unregister(PWPP_TRACE_CONTROL_BLOCK blocks);
    NTSTATUS Send(TRACEHANDLE logger, ULONG messageFlags, LPCGUID messageGuid, USHORT messageNumber,
                  va_list arguments);

private:
    struct Setting {
        GUID control;
        ULONG flags;
        UCHAR level;
    };
    struct Logger {
        GUID control;
        ULONG groupIndex;
        PWPP_TRACE_CONTROL_BLOCK block;
    };
    struct Registration {
        PDRIVER_OBJECT driverObject;
        ULONG count;
        std::vector<TRACEHANDLE> loggers;
    };

    const Setting* FindSetting(const GUID& control) const;
    static void Apply(const Logger& logger, TRACEHANDLE handle, const Setting* setting);
    void Echo(const TraceMessage& message) const;

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::vector<Setting> m_settings;
    std::map<PWPP_TRACE_CONTROL_BLOCK, Registration> m_registrations;
    std::map<TRACEHANDLE, Logger> m_loggers;
    TRACEHANDLE m_nextLogger = 0x10000;
    std::vector<TraceMessage> m_messages;
    bool m_echo = false;
};

}  // namespace emu
