// Driver services and images of the emulated machine.
//
// A service is the registry key \Registry\Machine\System\CurrentControlSet\Services\<name> with
// ImagePath, Type and Start. The machine's driver directory (System32\Drivers) maps image names to
// host files: a driver image is a shared module, loaded with dlopen(RTLD_NOW | RTLD_LOCAL), so each
// image has its own globals. Loading creates "\Driver\<service>" and calls DriverEntry at
// PASSIVE_LEVEL; unloading calls DriverUnload, checks that the driver left no device object and
// no pool block behind, and closes the module.
//
// Pool blocks are charged to an image by the address they were allocated from: ExAllocatePool*
// passes its return address to the pool, which asks the loader which loaded module's segments
// contain it. Allocations the platform makes on a driver's behalf are charged to nobody.
//
// A built-in image is part of the machine itself (the USB host's hub and composite drivers): its
// name maps to an entry point in this process instead of a module file. It loads and unloads like
// any image; having no segments, its pool blocks are charged to nobody.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class Kernel;

inline constexpr std::u16string_view kServicesKeyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

// Service start types and the kernel-driver service type, as the service key stores them.
inline constexpr ULONG kServiceKernelDriver = 1;
inline constexpr ULONG kServiceBootStart = 0;
inline constexpr ULONG kServiceSystemStart = 1;
inline constexpr ULONG kServiceAutoStart = 2;
inline constexpr ULONG kServiceDemandStart = 3;
inline constexpr ULONG kServiceDisabled = 4;

// Load failures beyond <ntstatus.h>'s list.
inline constexpr NTSTATUS kStatusImageAlreadyLoaded = static_cast<NTSTATUS>(0xC000010EL);
inline constexpr NTSTATUS kStatusInvalidImageFormat = static_cast<NTSTATUS>(0xC000007BL);
inline constexpr NTSTATUS kStatusDriverEntrypointNotFound = static_cast<NTSTATUS>(0xC0000263L);
inline constexpr NTSTATUS kStatusDriverUnableToLoad = static_cast<NTSTATUS>(0xC000026CL);

struct LoadedImageInfo {
    std::u16string service;
    std::u16string imageName;  // "Portdrv39.sys"
    std::filesystem::path hostPath;
    PDRIVER_OBJECT driver = nullptr;
    uint32_t imageId = 0;  // the pool's owner number of the image's blocks
};

class DriverLoader {
public:
    explicit DriverLoader(Kernel& machine);
    // Unloads every image still loaded (the PnP manager has removed its devices by then).
    ~DriverLoader();
    DriverLoader(const DriverLoader&) = delete;
    DriverLoader& operator=(const DriverLoader&) = delete;

    // ---- Driver directory and services ----------------------------------------------------------
    // Puts an image file into System32\Drivers under that name (names compare without case).
    void InstallImage(std::u16string_view imageName, std::filesystem::path hostPath);
    bool RemoveImage(std::u16string_view imageName);
    // Puts a built-in image into System32\Drivers under that name.
    void InstallBuiltInImage(std::u16string_view imageName, PDRIVER_INITIALIZE entry);
    std::optional<std::filesystem::path> ImageFile(std::u16string_view imageName) const;
    // Writes a kernel-driver service key: ImagePath "\SystemRoot\System32\Drivers\<image>", Type 1,
    // Start, ErrorControl 1.
    void CreateService(std::u16string_view service, std::u16string_view imageName,
                       ULONG start = kServiceDemandStart);
    static std::u16string ServiceKeyPath(std::u16string_view service);

    // ---- Loading ---------------------------------------------------------------------------------
    // Loads the service's image and runs DriverEntry, or finds it loaded already.
    NTSTATUS Load(std::u16string_view service, PDRIVER_OBJECT* driver);
    // Unloads a driver that has no device object left and has an unload routine; false otherwise.
    bool UnloadIfUnused(PDRIVER_OBJECT driver);
    // Unloads the service's driver: STATUS_DEVICE_BUSY while it has device objects,
    // STATUS_INVALID_DEVICE_REQUEST without an unload routine.
    NTSTATUS Unload(std::u16string_view service);

    PDRIVER_OBJECT Find(std::u16string_view service) const;
    bool IsLoaded(std::u16string_view service) const { return Find(service) != nullptr; }
    std::vector<LoadedImageInfo> Loaded() const;
    std::optional<LoadedImageInfo> InfoOf(PDRIVER_OBJECT driver) const;
    // DriverEntry calls made for the service since the machine started (failed ones included).
    size_t EntryCount(std::u16string_view service) const;
    // The loaded image whose segments contain the address (0 for none).
    uint32_t ImageOf(const void* address) const;

    struct Image;  // driver_loader.cpp

private:
    NTSTATUS ResolveImage(std::u16string_view service, std::filesystem::path& hostPath, std::u16string& imageName);
    // dlopen of the image's file: its module, segments and DriverEntry.
    NTSTATUS MapModule(Image& image, PDRIVER_INITIALIZE& entry);
    // Calls DriverUnload (when asked), checks what the driver left, closes the module.
    void Finish(std::unique_ptr<Image> image, bool callUnload);

    Kernel& m_kernel;
    mutable std::mutex m_mutex;  // guards the tables; never held across a call into a driver
    std::recursive_mutex m_loadLock;  // one load or unload at a time
    std::map<std::u16string, std::filesystem::path> m_directory;  // upper-cased image name -> file
    std::map<std::u16string, PDRIVER_INITIALIZE> m_builtIn;       // upper-cased image name -> entry
    std::map<std::u16string, std::unique_ptr<Image>> m_images;   // upper-cased service -> image
    std::map<std::u16string, size_t> m_entryCounts;
    uint32_t m_nextImageId = 1;
};

}  // namespace emu
