// The state SetupAPI keeps for the running machine: device numbers, live information sets and
// COM-database handles, injected faults and the records tests read.
#pragma once

#include <setupapi.h>

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "setupapi_control.h"

namespace emu::setupapi {

struct SetupApiState {
    std::mutex mutex;  // guards every field
    std::map<SetupCall, std::pair<DWORD, unsigned>> faults;
    std::vector<PropertyChangeRecord> propertyChanges;
    std::vector<std::u16string> reenumerations;
    // Device numbers (DEVINST): assigned on first sight of an instance path, never reused.
    std::map<std::u16string, DEVINST> numbers;  // upper-cased instance path -> number
    std::map<DEVINST, std::u16string> paths;
    std::set<const void*> liveSets;
    std::set<const void*> liveComDbs;
    std::mutex comDbMutex;  // orders the database's read-modify-write
};

SetupApiState& State();

// The injected error of the next call of that kind, if one is due (consumed).
std::optional<DWORD> TakeFault(SetupCall call);

// The device number of an instance path (the root's is 1), and back.
DEVINST NumberOf(const std::u16string& instancePath);
std::optional<std::u16string> PathOf(DEVINST number);

}  // namespace emu::setupapi
