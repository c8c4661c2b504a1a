// msports' COM-name database: one bit a COM number (bit n-1 for COMn) in the REG_BINARY value
// "ComDB" of the COM Name Arbiter key, so every handle and every process of the machine sees one
// database. A handle is only a ticket; the data lives in the registry.
#include <msports.h>

#include <algorithm>
#include <vector>

#include "cm/registry.h"
#include "kernel.h"
#include "setupapi_state.h"

using namespace emu::setupapi;

namespace {

constexpr std::u16string_view kArbiterKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr DWORD kPorts = COMDB_MIN_PORTS_ARBITRATED;

struct ComDbTicket {
    int unused = 0;
};

bool IsLive(HCOMDB handle)
{
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    return state.liveComDbs.count(handle) != 0;
}

std::vector<uint8_t> ReadBits()
{
    std::optional<emu::RegistryValue> value = emu::Kernel::Current().GetRegistry().GetValue(kArbiterKey, u"ComDB");
    std::vector<uint8_t> bits(kPorts / 8);
    if (value && value->type == REG_BINARY)
        std::copy_n(value->data.begin(), std::min(value->data.size(), bits.size()), bits.begin());
    return bits;
}

void WriteBits(std::vector<uint8_t> bits)
{
    emu::Kernel::Current().GetRegistry().SetValue(kArbiterKey, u"ComDB", REG_BINARY, std::move(bits));
}

bool InUse(const std::vector<uint8_t>& bits, DWORD number) { return (bits[(number - 1) / 8] >> ((number - 1) % 8)) & 1; }

// The checks every call on a handle makes, then its injected fault.
LONG Check(HCOMDB handle, SetupCall call)
{
    if (!IsLive(handle)) return ERROR_INVALID_PARAMETER;
    if (std::optional<DWORD> fault = TakeFault(call)) return static_cast<LONG>(*fault);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" LONG ComDBOpen(PHCOMDB PHComDB)
{
    if (!PHComDB) return ERROR_INVALID_PARAMETER;
    *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
    if (std::optional<DWORD> fault = TakeFault(SetupCall::ComDbOpen)) return static_cast<LONG>(*fault);
    auto* ticket = new ComDbTicket;
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    state.liveComDbs.insert(ticket);
    *PHComDB = reinterpret_cast<HCOMDB>(ticket);
    return ERROR_SUCCESS;
}

extern "C" LONG ComDBClose(HCOMDB HComDB)
{
    if (LONG error = Check(HComDB, SetupCall::ComDbClose)) return error;
    SetupApiState& state = State();
    std::lock_guard lock(state.mutex);
    state.liveComDbs.erase(HComDB);
    delete reinterpret_cast<ComDbTicket*>(HComDB);
    return ERROR_SUCCESS;
}

extern "C" LONG ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                         LPDWORD MaxPortsReported)
{
    if (LONG error = Check(HComDB, SetupCall::ComDbGetCurrentPortUsage)) return error;
    if (!Buffer) {
        if (!MaxPortsReported) return ERROR_INVALID_PARAMETER;
        *MaxPortsReported = kPorts;
        return ERROR_SUCCESS;
    }
    if (ReportType != CDB_REPORT_BYTES && ReportType != CDB_REPORT_BITS) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(State().comDbMutex);
    const std::vector<uint8_t> bits = ReadBits();
    DWORD reported = 0;
    if (ReportType == CDB_REPORT_BYTES) {
        reported = std::min(BufferSize, kPorts);
        for (DWORD number = 1; number <= reported; ++number) Buffer[number - 1] = InUse(bits, number) ? 1 : 0;
    } else {
        const DWORD bytes = std::min<DWORD>(BufferSize, kPorts / 8);
        std::copy_n(bits.begin(), bytes, Buffer);
        reported = bytes * 8;
    }
    if (MaxPortsReported) *MaxPortsReported = reported;
    return ERROR_SUCCESS;
}

extern "C" LONG ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced)
{
    if (LONG error = Check(HComDB, SetupCall::ComDbClaimPort)) return error;
    if (ComNumber < 1 || ComNumber > kPorts) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(State().comDbMutex);
    std::vector<uint8_t> bits = ReadBits();
    const bool taken = InUse(bits, ComNumber);
    if (Forced) *Forced = FALSE;
    if (taken && !ForceClaim) return ERROR_SHARING_VIOLATION;
    if (taken) {
        if (Forced) *Forced = TRUE;
        return ERROR_SUCCESS;
    }
    bits[(ComNumber - 1) / 8] |= static_cast<uint8_t>(1u << ((ComNumber - 1) % 8));
    WriteBits(std::move(bits));
    return ERROR_SUCCESS;
}

extern "C" LONG ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber)
{
    if (LONG error = Check(HComDB, SetupCall::ComDbClaimPort)) return error;
    if (!ComNumber) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(State().comDbMutex);
    std::vector<uint8_t> bits = ReadBits();
    for (DWORD number = 1; number <= kPorts; ++number) {
        if (InUse(bits, number)) continue;
        bits[(number - 1) / 8] |= static_cast<uint8_t>(1u << ((number - 1) % 8));
        WriteBits(std::move(bits));
        *ComNumber = number;
        return ERROR_SUCCESS;
    }
    return ERROR_NO_LOG_SPACE;
}

extern "C" LONG ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber)
{
    if (LONG error = Check(HComDB, SetupCall::ComDbReleasePort)) return error;
    if (ComNumber < 1 || ComNumber > kPorts) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(State().comDbMutex);
    std::vector<uint8_t> bits = ReadBits();
    bits[(ComNumber - 1) / 8] &= static_cast<uint8_t>(~(1u << ((ComNumber - 1) % 8)));
    WriteBits(std::move(bits));
    return ERROR_SUCCESS;
}
