// The C runtime's low-level reads on the machine's file system: _wopen (reading only), _filelength,
// _read and _close. A descriptor holds the file's bytes as they were when it was opened.
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "file_system.h"
#include "program_paths.h"

using namespace emu::files;

namespace {

struct OpenFile {
    std::vector<uint8_t> bytes;
    size_t position = 0;
};

struct Descriptors {
    std::mutex mutex;  // guards what follows
    std::map<int, OpenFile> open;
    int next = 3;  // after the standard streams
};

Descriptors& TheDescriptors()
{
    static Descriptors descriptors;
    return descriptors;
}

int Error(int code)
{
    errno = code;
    return -1;
}

}  // namespace

extern "C" int _wopen(const WCHAR* path, int flags, ...)
{
    if (!path) return Error(EINVAL);
    if ((flags & ~_O_BINARY) != _O_RDONLY) return Error(EACCES);  // only reading is offered
    std::optional<std::vector<uint8_t>> bytes = FileSystem::Current().ReadFile(ProgramPath(path));
    if (!bytes) return Error(ENOENT);
    Descriptors& descriptors = TheDescriptors();
    std::lock_guard lock(descriptors.mutex);
    const int fd = descriptors.next++;
    descriptors.open[fd] = OpenFile{std::move(*bytes), 0};
    return fd;
}

extern "C" long _filelength(int fd)
{
    Descriptors& descriptors = TheDescriptors();
    std::lock_guard lock(descriptors.mutex);
    auto it = descriptors.open.find(fd);
    if (it == descriptors.open.end()) return Error(EBADF);
    return static_cast<long>(it->second.bytes.size());
}

extern "C" int _read(int fd, void* buffer, unsigned int count)
{
    Descriptors& descriptors = TheDescriptors();
    std::lock_guard lock(descriptors.mutex);
    auto it = descriptors.open.find(fd);
    if (it == descriptors.open.end()) return Error(EBADF);
    if (!buffer && count) return Error(EINVAL);
    OpenFile& file = it->second;
    const size_t taken = std::min<size_t>(count, file.bytes.size() - file.position);
    if (taken) std::memcpy(buffer, file.bytes.data() + file.position, taken);
    file.position += taken;
    return static_cast<int>(taken);
}

extern "C" int _close(int fd)
{
    Descriptors& descriptors = TheDescriptors();
    std::lock_guard lock(descriptors.mutex);
    return descriptors.open.erase(fd) ? 0 : Error(EBADF);
}
