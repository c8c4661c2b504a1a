// IRP_MJ_SYSTEM_CONTROL requests as WMI sends them: a WNODE laid out in a buffer, the provider's
// device object as ProviderId, sent to the top of the provider's stack at PASSIVE_LEVEL. Each call
// waits for the request to complete and decodes the answer.
#pragma once

#include <wdm.h>
#include <wmistr.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::testing {

struct WmiRegisteredGuid {
    GUID guid{};
    ULONG flags = 0;
    ULONG instanceCount = 0;
    ULONG_PTR pdoOrOffset = 0;
};

struct WmiResult {
    NTSTATUS status = STATUS_PENDING;  // the IRP's final status
    ULONG_PTR information = 0;
    bool completed = false;  // false when the request did not come back in time
    bool tooSmall = false;   // the answer was a WNODE_TOO_SMALL
    ULONG sizeNeeded = 0;    // its SizeNeeded, or REGINFO's needed size
    std::vector<std::vector<uint8_t>> instances;  // data queries: one entry per instance
    std::vector<uint8_t> output;                  // method output
    std::vector<uint8_t> buffer;                  // the whole WMI buffer after completion
    // REGINFO answers.
    std::vector<WmiRegisteredGuid> guids;
    std::u16string registryPath;
    std::u16string mofResourceName;
};

struct WmiTarget {
    PDEVICE_OBJECT device = nullptr;  // the provider: requests go to the top of its stack
    std::optional<ULONG_PTR> providerId;  // defaults to the device
    ULONG bufferSize = 4096;
};

class WmiRequests {
public:
    static WmiResult QueryAllData(const WmiTarget& target, const GUID& guid);
    static WmiResult QuerySingleInstance(const WmiTarget& target, const GUID& guid, ULONG instance);
    static WmiResult ChangeSingleInstance(const WmiTarget& target, const GUID& guid, ULONG instance,
                                          const std::vector<uint8_t>& data);
    static WmiResult ChangeSingleItem(const WmiTarget& target, const GUID& guid, ULONG instance, ULONG itemId,
                                      const std::vector<uint8_t>& data);
    static WmiResult ExecuteMethod(const WmiTarget& target, const GUID& guid, ULONG instance, ULONG methodId,
                                   const std::vector<uint8_t>& input);
    // IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION, IRP_MN_DISABLE_COLLECTION.
    static WmiResult FunctionControl(const WmiTarget& target, UCHAR minor, const GUID& guid);
    static WmiResult RegInfo(const WmiTarget& target, bool extended = false);

    // Sends a prepared buffer with any minor function (for malformed requests).
    static WmiResult Send(const WmiTarget& target, UCHAR minor, const GUID* dataPath, std::vector<uint8_t> buffer);
};

}  // namespace emu::testing
