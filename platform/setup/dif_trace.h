// What the installation engine records of each request it carries out: one entry per call of a
// co-installer, class installer or default handler, in the order they ran.
#pragma once

#include <setupapi.h>

#include <string>

namespace emu::setup {

enum class DifPhase { PreProcessing, ClassInstaller, DefaultHandler, PostProcessing };

struct DifRecord {
    DI_FUNCTION function = 0;
    std::u16string instancePath;  // empty for a request without a device
    DifPhase phase = DifPhase::PreProcessing;
    std::u16string who;           // "Cfgdll39.dll,CvUCoInstall", the class name, or empty for a default
    DWORD result = 0;
    DWORD installResult = 0;      // post-processing: the result the co-installer was given
};

const char* DifName(DI_FUNCTION function);

}  // namespace emu::setup
