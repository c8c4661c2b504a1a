// The machine's INF store (%windir%\inf): the INF files installed with their packages, and the
// driver that suits a device, found through each INF's [Manufacturer] and model sections.
//
// A model line is "description = install-section, hardware-id[, compatible-id...]". A device's
// hardware IDs rank before its compatible IDs, and within each list an earlier ID before a later
// one; the best rank wins, and between equal ranks the INF added first. A [Manufacturer] entry
// "name = models[, decoration...]" names its model section, decorated ("models.NTamd64") when
// the INF has that section; install sections are looked up the same way.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "inf_file.h"

namespace emu::setup {

// The files a package ships beside its INF files: file name (compared without case) -> host file.
using PackageFiles = std::map<std::u16string, std::filesystem::path>;

struct DriverInstallInfo {
    const InfFile* inf = nullptr;
    const PackageFiles* files = nullptr;
    std::u16string description;     // the model's
    std::u16string manufacturer;
    std::u16string installSection;  // decorated as found ("PortDrv.NTamd64")
    std::u16string matchingId;
    unsigned rank = 0;              // 0 best; hardware IDs 0x0000.., compatible IDs 0x1000..
    std::u16string classGuid;
    std::u16string className;
    std::u16string provider;
    std::u16string service;         // the AddService entry with the associated-service flag, if any
};

class InfStore {
public:
    // Adds an INF (replacing one of the same name); its source files come from `files`.
    void Add(InfFile inf, PackageFiles files = {});
    bool Remove(std::u16string_view name);
    std::vector<std::u16string> Names() const;
    // The INF of that name, or null. Pointers stay valid until the INF is removed or replaced.
    const InfFile* Find(std::u16string_view name) const;

    // The best driver for a device with these IDs, or nothing.
    std::optional<DriverInstallInfo> SelectDriver(const std::vector<std::u16string>& hardwareIds,
                                                  const std::vector<std::u16string>& compatibleIds) const;
    // Every (hardware ID, driver) pair the store's model sections list, in INF order.
    std::vector<std::pair<std::u16string, DriverInstallInfo>> Models() const;

private:
    struct Entry {
        std::unique_ptr<InfFile> inf;
        std::unique_ptr<PackageFiles> files;
    };
    void ForEachModel(const Entry& entry,
                      const std::function<void(const InfLine&, DriverInstallInfo&)>& visit) const;

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// The decorated name of a section as Windows x64 picks it: "<name>.NTamd64", "<name>.NT", or
// "<name>" itself, the first the INF has.
std::u16string DecoratedSection(const InfFile& inf, std::u16string_view name);
// The service an install section associates with the device (AddService flag 0x2), or empty.
std::u16string AssociatedService(const InfFile& inf, std::u16string_view installSection);

}  // namespace emu::setup
