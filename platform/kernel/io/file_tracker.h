// What the I/O manager knows of the files open on device stacks, as the Plug and Play manager asks
// it: how many files are open on a stack, and when one closes. The subsystem that owns the files
// registers itself with the I/O manager for as long as it lives.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace emu {

class FileTracker {
public:
    using ListenerId = uint64_t;

    // Files opened on the stack that `stackMember` belongs to (any device of it) that have not
    // been closed yet (IRP_MJ_CLOSE not sent). Surprise removal waits for this to reach zero.
    virtual size_t OpenFileCount(PDEVICE_OBJECT stackMember) const = 0;
    // Told, after a file's IRP_MJ_CLOSE, the device its path named; at PASSIVE_LEVEL, no lock held.
    virtual ListenerId AddFileClosedListener(std::function<void(PDEVICE_OBJECT device)> listener) = 0;
    virtual void RemoveFileClosedListener(ListenerId id) = 0;

protected:
    ~FileTracker() = default;
};

}  // namespace emu
