// MmMapIoSpace / MmUnmapIoSpace. The machine has no device registers: a mapping is zeroed memory
// that stands for the range, so a driver can map, touch and unmap what its resources describe.
#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace {

struct Mapping {
    emu::Kernel* machine;
    SIZE_T length;
    std::unique_ptr<uint8_t[]> memory;
};

std::mutex g_mutex;
std::map<const void*, Mapping> g_mappings;

// Mappings a machine left behind go when another machine maps (one machine runs at a time).
void ForgetOtherMachines(emu::Kernel* current)
{
    std::erase_if(g_mappings, [current](const auto& entry) { return entry.second.machine != current; });
}

}  // namespace

extern "C" PVOID MmMapIoSpace(PHYSICAL_ADDRESS physicalAddress, SIZE_T numberOfBytes, MEMORY_CACHING_TYPE cacheType)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpace");
    if (numberOfBytes == 0 || numberOfBytes > (SIZE_T{1} << 30)) return nullptr;
    emu::Kernel* machine = &emu::Kernel::Current();
    std::unique_ptr<uint8_t[]> memory(new (std::nothrow) uint8_t[numberOfBytes]());
    if (!memory) return nullptr;
    PVOID address = memory.get();
    std::lock_guard lock(g_mutex);
    ForgetOtherMachines(machine);
    g_mappings.emplace(address, Mapping{machine, numberOfBytes, std::move(memory)});
    return address;
}

extern "C" void MmUnmapIoSpace(PVOID baseAddress, SIZE_T numberOfBytes)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapIoSpace");
    std::lock_guard lock(g_mutex);
    auto it = g_mappings.find(baseAddress);
    if (it == g_mappings.end()) {
        emu::ReportViolation(emu::Violation::Bugcheck, "MmUnmapIoSpace of an address MmMapIoSpace did not return");
        return;
    }
    if (it->second.length != numberOfBytes)
        emu::ReportViolation(emu::Violation::Bugcheck, "MmUnmapIoSpace with " + std::to_string(numberOfBytes) +
                                                           " bytes of a mapping of " + std::to_string(it->second.length));
    g_mappings.erase(it);
}
