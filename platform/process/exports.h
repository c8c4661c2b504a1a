// The exports of the system's DLLs that programs look up with GetProcAddress. Whether one exists
// depends on the system: RegDeleteKeyExW from Vista on (and on 64-bit XP), the WOW64 calls only on
// a 64-bit system. Each layer registers the exports it implements.
#pragma once

#include <processthreadsapi.h>

#include <functional>
#include <string_view>

namespace emu::process {

using ExportPresent = std::function<bool()>;

// Registers `name` in `module` ("kernel32.dll"); `present` says whether the running system has it.
void RegisterExport(std::u16string_view module, std::string_view name, FARPROC function, ExportPresent present);
// Present on every system.
bool Always();
// Present on 64-bit systems only.
bool On64BitSystem();
// Present from Windows Vista on, and on 64-bit systems.
bool OnVistaOr64Bit();

// The modules installed into the system directory (libraries and their stand-ins), kept by the layer
// that installs them. LoadLibraryW and GetModuleHandleW ask it before the system DLLs' tables;
// GetProcAddress and FreeLibrary hand it every handle that is not a system DLL's.
class InstalledModules {
public:
    // Whether `path` names one of its modules (whether loaded or not).
    virtual bool Holds(std::u16string_view path) const = 0;
    virtual HMODULE Load(std::u16string_view path) = 0;
    virtual void* Export(HMODULE module, const char* name) = 0;
    virtual bool Free(HMODULE module) = 0;
    // The handle of a loaded module, or null.
    virtual HMODULE Handle(std::u16string_view path) const = 0;

protected:
    ~InstalledModules() = default;
};

// The machine's one table of installed modules (null: none).
void SetInstalledModules(InstalledModules* modules);

}  // namespace emu::process
