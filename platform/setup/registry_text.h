// The text of registry values as the installation engine reads them: a REG_SZ without its
// terminator, and the strings of a REG_MULTI_SZ (empty for a value of another type or none).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cm/registry.h"

namespace emu::setup {

std::u16string RegistryString(const std::optional<RegistryValue>& value);
std::vector<std::u16string> RegistryStrings(const std::optional<RegistryValue>& value);

}  // namespace emu::setup
