// A driver package's disk image on the machine: files put into a folder of the machine's file
// system, each standing for a host file (the emulation loads driver images and libraries from the
// host). When SetupCopyOEMInfW copies an INF into the store, the INF engine takes the package's
// files from the folder the INF was copied from.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "inf_store.h"

namespace emu::setup {

class PackageMedia {
public:
    // The disk images of the running machine.
    static PackageMedia& Current();

    // Writes the host file's bytes at that path of the machine and remembers the host file behind
    // it; false when the host file cannot be read or the path not written.
    bool Put(std::u16string_view machinePath, const std::filesystem::path& host);
    // The files in a folder that stand for host files, by file name.
    PackageFiles FilesIn(std::u16string_view folder) const;

private:
    mutable std::mutex m_mutex;  // guards what follows
    std::map<std::u16string, std::filesystem::path> m_hosts;  // upper-cased machine path -> host file
};

}  // namespace emu::setup
