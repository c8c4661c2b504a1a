// The I/O manager's record of one file object: the FILE_OBJECT the drivers see, and what the I/O
// manager keeps beside it. The object manager holds the FILE_OBJECT (type File): each handle holds
// a reference, and so does each request sent on the file. The last handle's close sends
// IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows once the last reference is gone, that is once the last
// request on the file has completed.
#pragma once

#include <ntifs.h>

#include <mutex>
#include <string>
#include <vector>

namespace emu {

class FileRequest;

struct FileObject {
    FILE_OBJECT object{};
    std::u16string fileName;  // FileName's buffer: the path's rest after the device ("\REF")
    // The device object the name resolved to: referenced while the file lives, and its
    // ReferenceCount counts this file until the file is closed.
    PDEVICE_OBJECT device = nullptr;

    // A file opened for synchronous I/O carries one request at a time, as on Windows.
    std::mutex serial;

    std::mutex lock;      // guards what follows
    bool opened = false;  // IRP_MJ_CREATE succeeded: CLEANUP and CLOSE are owed
    std::vector<FileRequest*> pending;  // requests sent on the file and not completed

    bool Synchronous() const { return (object.Flags & FO_SYNCHRONOUS_IO) != 0; }
};

}  // namespace emu
