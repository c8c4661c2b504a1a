// State that user-mode DLLs keep for the running machine (a device-number table, fault switches,
// a log of recorded calls). One instance lives per machine: the first use under a new machine
// replaces what an earlier machine left.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "win32_subsystem.h"

namespace emu::win32 {

template <class T>
class PerMachine {
public:
    // The state of the running machine. T guards its own fields.
    T& Get()
    {
        std::lock_guard lock(m_mutex);
        const uint64_t serial = CurrentSerial();
        if (!m_value || m_serial != serial) {
            m_value = std::make_unique<T>();
            m_serial = serial;
        }
        return *m_value;
    }

private:
    std::mutex m_mutex;
    uint64_t m_serial = 0;
    std::unique_ptr<T> m_value;
};

}  // namespace emu::win32
