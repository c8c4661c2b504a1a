// Kernel debugger output of the emulated machine: what DbgPrint prints, kept line by line for tests.
// A line that begins with "ASSERT at" is also a verifier report, so a test fails on an assertion it
// did not expect.
#pragma once

#include <wdm.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class Kernel;

class DebugOutput {
public:
    explicit DebugOutput(Kernel& machine) : m_kernel(machine) {}

    // The text of one DbgPrint call. Each line (split at '\n', which is not kept) is stored.
    void Print(std::string_view text);

    std::vector<std::string> Lines() const;
    size_t CountContaining(std::string_view fragment) const;
    void Clear();
    // Echoes every line to stderr as it is printed (off by default).
    void SetEcho(bool echo);

private:
    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    bool m_echo = false;
};

}  // namespace emu
