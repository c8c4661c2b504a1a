// DbgPrint, DbgBreakPoint and KeBugCheckEx of the emulated machine.
#include "dbg/debug_output.h"

#include "kernel.h"
#include "vf/verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {
constexpr std::string_view kAssertPrefix = "ASSERT at";
}

void DebugOutput::Print(std::string_view text)
{
    std::vector<std::string> asserts;
    {
        std::lock_guard lock(m_mutex);
        while (!text.empty()) {
            size_t end = text.find('\n');
            std::string line(text.substr(0, end));
            text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
            if (m_echo) std::fprintf(stderr, "%s\n", line.c_str());
            if (line.starts_with(kAssertPrefix)) asserts.push_back(line);
            m_lines.push_back(std::move(line));
        }
    }
    for (std::string& line : asserts) m_kernel.GetVerifier().Report(Violation::AssertReport, std::move(line));
}

std::vector<std::string> DebugOutput::Lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

size_t DebugOutput::CountContaining(std::string_view fragment) const
{
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const std::string& line : m_lines)
        if (line.find(fragment) != std::string::npos) ++count;
    return count;
}

void DebugOutput::Clear()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

void DebugOutput::SetEcho(bool echo)
{
    std::lock_guard lock(m_mutex);
    m_echo = echo;
}

}  // namespace emu

extern "C" ULONG DbgPrint(PCSTR format, ...)
{
    if (!format) return STATUS_INVALID_PARAMETER;
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);

    if (emu::Kernel* machine = emu::Kernel::TryCurrent())
        machine->GetDebugOutput().Print(text);
    else
        std::fputs(text.c_str(), stderr);  // a static destructor after the machine went away
    return STATUS_SUCCESS;
}

extern "C" void DbgBreakPoint(void)
{
    emu::Kernel::Current().GetVerifier().Report(emu::Violation::DbgBreakPoint, "DbgBreakPoint");
}

extern "C" void KeBugCheckEx(ULONG bugCheckCode, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    char text[160];
    std::snprintf(text, sizeof(text), "KeBugCheckEx 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)", bugCheckCode,
                  static_cast<unsigned long>(p1), static_cast<unsigned long>(p2), static_cast<unsigned long>(p3),
                  static_cast<unsigned long>(p4));
    if (emu::Kernel* machine = emu::Kernel::TryCurrent())
        machine->GetVerifier().Report(emu::Violation::Bugcheck, text);
    std::fprintf(stderr, "*** %s: the machine stops\n", text);
    std::fflush(stderr);
    std::abort();
}
