#include "io/driver_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dbg/debug_output.h"
#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"
#include "rtl/rtl_text.h"

namespace emu {

namespace {

constexpr CSHORT kIoTypeDriver = 4;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && UpcaseText(text.substr(0, prefix.size())) == UpcaseText(prefix);
}

UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<PWCH>(text.data());
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    return counted;
}

// A registry string value without its terminator.
std::optional<std::u16string> StringValue(const std::optional<RegistryValue>& value)
{
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

// What a driver's unhandled major functions go to, as Windows' default dispatch.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct Segment {
    uintptr_t begin;
    uintptr_t end;
};

// The loaded segments of the module whose load bias is `bias`.
std::vector<Segment> SegmentsOf(uintptr_t bias)
{
    struct Search {
        uintptr_t bias;
        std::vector<Segment> segments;
    } search{bias, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* found = static_cast<Search*>(data);
            if (info->dlpi_addr != found->bias) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& header = info->dlpi_phdr[i];
                if (header.p_type != PT_LOAD) continue;
                uintptr_t begin = info->dlpi_addr + header.p_vaddr;
                found->segments.push_back(Segment{begin, begin + header.p_memsz});
            }
            return 1;
        },
        &search);
    return search.segments;
}

}  // namespace

// One loaded image: its module, its driver object and the names the driver object points into.
struct DriverLoader::Image {
    std::u16string service;
    std::u16string imageName;
    std::filesystem::path hostPath;
    void* module = nullptr;
    uint32_t id = 0;
    std::vector<Segment> segments;
    bool named = false;

    // The driver object's memory belongs to the object manager once registered; these names
    // live as long as the image.
    struct Body {
        DRIVER_OBJECT driver;
        DRIVER_EXTENSION extension;
    };
    Body* body = nullptr;
    std::u16string driverName;
    std::u16string serviceKeyName;
    std::u16string hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
    UNICODE_STRING hardwareDatabaseString{};
};

DriverLoader::DriverLoader(Kernel& machine) : m_kernel(machine)
{
    m_kernel.GetPool().SetOwnerResolver([this](const void* address) { return ImageOf(address); });
}

DriverLoader::~DriverLoader()
{
    m_kernel.GetPool().SetOwnerResolver(nullptr);
    std::lock_guard loadLock(m_loadLock);
    std::map<std::u16string, std::unique_ptr<Image>> images;
    {
        std::lock_guard lock(m_mutex);
        images.swap(m_images);
    }
    for (auto& [key, image] : images) {
        const bool unused = image->body->driver.DeviceObject == nullptr;
        Finish(std::move(image), unused && image->body->driver.DriverUnload);
    }
}

std::u16string DriverLoader::ServiceKeyPath(std::u16string_view service)
{
    return std::u16string(kServicesKeyPath) + u"\\" + std::u16string(service);
}

void DriverLoader::InstallImage(std::u16string_view imageName, std::filesystem::path hostPath)
{
    std::lock_guard lock(m_mutex);
    m_directory[UpcaseText(imageName)] = std::move(hostPath);
}

bool DriverLoader::RemoveImage(std::u16string_view imageName)
{
    std::lock_guard lock(m_mutex);
    return (m_directory.erase(UpcaseText(imageName)) + m_builtIn.erase(UpcaseText(imageName))) != 0;
}

void DriverLoader::InstallBuiltInImage(std::u16string_view imageName, PDRIVER_INITIALIZE entry)
{
    std::lock_guard lock(m_mutex);
    m_builtIn[UpcaseText(imageName)] = entry;
}

std::optional<std::filesystem::path> DriverLoader::ImageFile(std::u16string_view imageName) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_directory.find(UpcaseText(imageName));
    if (it == m_directory.end()) return std::nullopt;
    return it->second;
}

void DriverLoader::CreateService(std::u16string_view service, std::u16string_view imageName, ULONG start)
{
    Registry& registry = m_kernel.GetRegistry();
    const std::u16string path = ServiceKeyPath(service);
    registry.CreateKey(path);
    registry.SetString(path, u"ImagePath", u"\\SystemRoot\\System32\\Drivers\\" + std::u16string(imageName),
                       REG_EXPAND_SZ);
    registry.SetDword(path, u"Type", kServiceKernelDriver);
    registry.SetDword(path, u"Start", start);
    registry.SetDword(path, u"ErrorControl", 1);
}

NTSTATUS DriverLoader::ResolveImage(std::u16string_view service, std::filesystem::path& hostPath,
                                    std::u16string& imageName)
{
    Registry& registry = m_kernel.GetRegistry();
    const std::u16string keyPath = ServiceKeyPath(service);
    if (!registry.KeyExists(keyPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::optional<ULONG> type = registry.GetDword(keyPath, u"Type");
    if (type && *type != kServiceKernelDriver && *type != 2) return kStatusDriverUnableToLoad;
    std::optional<ULONG> start = registry.GetDword(keyPath, u"Start");
    if (start && *start == kServiceDisabled) return kStatusDriverUnableToLoad;

    // Without an ImagePath the image is System32\Drivers\<service>.sys.
    std::u16string imagePath = StringValue(registry.GetValue(keyPath, u"ImagePath"))
                                   .value_or(u"System32\\Drivers\\" + std::u16string(service) + u".sys");
    std::u16string_view rest = imagePath;
    for (std::u16string_view prefix : {std::u16string_view(u"\\SystemRoot\\"), std::u16string_view(u"%SystemRoot%\\")}) {
        if (StartsWithNoCase(rest, prefix)) {
            rest.remove_prefix(prefix.size());
            break;
        }
    }
    constexpr std::u16string_view kDrivers = u"System32\\Drivers\\";
    if (!StartsWithNoCase(rest, kDrivers)) return STATUS_OBJECT_PATH_NOT_FOUND;
    rest.remove_prefix(kDrivers.size());
    if (rest.empty() || rest.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    imageName.assign(rest);
    {
        std::lock_guard lock(m_mutex);
        if (m_builtIn.count(UpcaseText(imageName))) return STATUS_SUCCESS;  // no file: hostPath stays empty
    }
    std::optional<std::filesystem::path> file = ImageFile(imageName);
    if (!file) return STATUS_OBJECT_NAME_NOT_FOUND;
    hostPath = *file;
    return STATUS_SUCCESS;
}

NTSTATUS DriverLoader::Load(std::u16string_view service, PDRIVER_OBJECT* driver)
{
    if (driver) *driver = nullptr;
    if (!CheckIrqlAtMost(PASSIVE_LEVEL, "loading a driver")) return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard loadLock(m_loadLock);
    if (PDRIVER_OBJECT loaded = Find(service)) {
        if (driver) *driver = loaded;
        return STATUS_SUCCESS;
    }

    auto image = std::make_unique<Image>();
    image->service.assign(service);
    NTSTATUS status = ResolveImage(service, image->hostPath, image->imageName);
    if (!NT_SUCCESS(status)) return status;

    PDRIVER_INITIALIZE entry = nullptr;
    if (image->hostPath.empty()) {
        std::lock_guard lock(m_mutex);
        auto it = m_builtIn.find(UpcaseText(image->imageName));
        if (it == m_builtIn.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        entry = it->second;
    } else {
        status = MapModule(*image, entry);
        if (!NT_SUCCESS(status)) return status;
    }

    // The driver object, its names and the default dispatch.
    image->driverName = u"\\Driver\\" + image->service;
    image->serviceKeyName = image->service;
    image->hardwareDatabaseString = Counted(image->hardwareDatabase);
    image->body = new Image::Body{};
    DRIVER_OBJECT& object = image->body->driver;
    object.Type = kIoTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &image->body->extension;
    object.DriverName = Counted(image->driverName);
    object.HardwareDatabase = &image->hardwareDatabaseString;
    object.DriverInit = entry;
    if (!image->segments.empty()) {
        object.DriverStart = reinterpret_cast<PVOID>(image->segments.front().begin);
        object.DriverSize = static_cast<ULONG>(image->segments.back().end - image->segments.front().begin);
    }
    for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) dispatch = &InvalidDeviceRequest;
    image->body->extension.DriverObject = &object;
    image->body->extension.ServiceKeyName = Counted(image->serviceKeyName);
    Image::Body* body = image->body;
    m_kernel.GetObjectManager().Register(&object, ObjectType::Driver, [body](void*) { delete body; });
    image->named = NT_SUCCESS(m_kernel.GetNamespace().Insert(image->driverName, ObjectType::Driver, &object));

    {
        std::lock_guard lock(m_mutex);
        image->id = m_nextImageId++;
        ++m_entryCounts[UpcaseText(service)];
    }
    Image* kept = image.get();
    {
        std::lock_guard lock(m_mutex);
        m_images[UpcaseText(service)] = std::move(image);
    }

    // The registry path is the caller's for the call only: a driver that keeps it must copy it.
    auto registryPathText = std::make_unique<std::u16string>(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" +
                                                             kept->service);
    UNICODE_STRING registryPath = Counted(*registryPathText);
    status = entry(&object, &registryPath);
    registryPathText.reset();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation(Violation::IrqlTooHigh, "DriverEntry of " + NarrowText(kept->service) + " returned at IRQL " +
                                                    std::to_string(KeGetCurrentIrql()));
        SetCurrentIrql(PASSIVE_LEVEL);
    }

    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry is not followed by DriverUnload: the image goes at once.
        std::unique_ptr<Image> failed;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_images.find(UpcaseText(service));
            failed = std::move(it->second);
            m_images.erase(it);
        }
        Finish(std::move(failed), false);
        return status;
    }
    if (driver) *driver = &object;
    return STATUS_SUCCESS;
}

NTSTATUS DriverLoader::MapModule(Image& image, PDRIVER_INITIALIZE& entry)
{
    // A module already mapped for another service would share its globals with it.
    if (void* resident = dlopen(image.hostPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        dlclose(resident);
        return kStatusImageAlreadyLoaded;
    }
    image.module = dlopen(image.hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image.module) {
        const char* error = dlerror();
        m_kernel.GetDebugOutput().Print(std::string("emu: cannot load ") + image.hostPath.string() + ": " +
                                         (error ? error : "?") + "\n");
        return kStatusInvalidImageFormat;
    }
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image.module, "DriverEntry"));
    if (!entry) {
        dlclose(image.module);
        image.module = nullptr;
        return kStatusDriverEntrypointNotFound;
    }
    link_map* map = nullptr;
    if (dlinfo(image.module, RTLD_DI_LINKMAP, &map) == 0 && map) image.segments = SegmentsOf(map->l_addr);
    return STATUS_SUCCESS;
}

void DriverLoader::Finish(std::unique_ptr<Image> image, bool callUnload)
{
    PDRIVER_OBJECT object = &image->body->driver;
    const std::string name = NarrowText(image->service);
    if (callUnload && object->DriverUnload) object->DriverUnload(object);

    // A device object left behind would call into an image that is gone: keep the module mapped.
    bool keepModule = false;
    if (object->DeviceObject) {
        ReportViolation(Violation::Bugcheck, "driver " + name + " unloaded with device objects left");
        keepModule = true;
    }

    std::vector<PoolBlock> leaked = m_kernel.GetPool().LiveBlocksOfOwner(image->id);
    if (!leaked.empty()) {
        std::string detail = "driver " + name + " unloaded leaving " + std::to_string(leaked.size()) + " pool block(s):";
        size_t shown = 0;
        for (const PoolBlock& block : leaked) {
            if (shown++ == 16) {
                detail += " ...";
                break;
            }
            detail += " " + PoolTagText(block.tag) + " " + std::to_string(block.size) + " bytes;";
        }
        m_kernel.GetVerifier().Report(Violation::PoolLeak, detail);
        m_kernel.GetPool().DisownBlocks(image->id);
    }

    if (image->named) m_kernel.GetNamespace().RemoveIfNames(image->driverName, object);
    if (!keepModule) {
        // The address ranges go before the module, so no new block is charged to a stranger.
        image->segments.clear();
        if (image->module) dlclose(image->module);
        m_kernel.GetObjectManager().Dereference(object);
    }
    // A kept module's Image (names the driver object points into) stays allocated as well.
    if (keepModule) (void)image.release();
}

bool DriverLoader::UnloadIfUnused(PDRIVER_OBJECT driver)
{
    if (!driver || !CheckIrqlAtMost(PASSIVE_LEVEL, "unloading a driver")) return false;
    std::lock_guard loadLock(m_loadLock);
    std::unique_ptr<Image> image;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_images.begin(), m_images.end(),
                               [driver](const auto& entry) { return &entry.second->body->driver == driver; });
        if (it == m_images.end() || driver->DeviceObject || !driver->DriverUnload) return false;
        image = std::move(it->second);
        m_images.erase(it);
    }
    Finish(std::move(image), true);
    return true;
}

NTSTATUS DriverLoader::Unload(std::u16string_view service)
{
    PDRIVER_OBJECT driver = Find(service);
    if (!driver) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (driver->DeviceObject) return STATUS_DEVICE_BUSY;
    if (!driver->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
    return UnloadIfUnused(driver) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

PDRIVER_OBJECT DriverLoader::Find(std::u16string_view service) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_images.find(UpcaseText(service));
    return it == m_images.end() ? nullptr : &it->second->body->driver;
}

std::vector<LoadedImageInfo> DriverLoader::Loaded() const
{
    std::lock_guard lock(m_mutex);
    std::vector<LoadedImageInfo> loaded;
    for (const auto& [key, image] : m_images)
        loaded.push_back(LoadedImageInfo{image->service, image->imageName, image->hostPath, &image->body->driver, image->id});
    return loaded;
}

std::optional<LoadedImageInfo> DriverLoader::InfoOf(PDRIVER_OBJECT driver) const
{
    for (LoadedImageInfo& info : Loaded())
        if (info.driver == driver) return info;
    return std::nullopt;
}

size_t DriverLoader::EntryCount(std::u16string_view service) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_entryCounts.find(UpcaseText(service));
    return it == m_entryCounts.end() ? 0 : it->second;
}

uint32_t DriverLoader::ImageOf(const void* address) const
{
    const auto where = reinterpret_cast<uintptr_t>(address);
    std::lock_guard lock(m_mutex);
    for (const auto& [key, image] : m_images)
        for (const Segment& segment : image->segments)
            if (where >= segment.begin && where < segment.end) return image->id;
    return 0;
}

}  // namespace emu
