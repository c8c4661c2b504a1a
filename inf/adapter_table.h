// The adapters the package serves: one row per product under the maker's USB vendor ID. The bus
// INF's model lines, Setup's list of bus hardware IDs and the Remover's search all come from this
// table (the INF's lines are checked against it by the package's INF test).
//
// The rows are placeholders for the maker's product list: the one-port and the two-port chip.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cvpackage {

#ifndef CV_MAKER_VENDOR_ID
#error "CV_MAKER_VENDOR_ID is set by the build"
#endif

struct AdapterModel {
    std::uint16_t productId;
    bool dualInterface;  // a composite device with one function per port (&MI_00, &MI_01)
};

inline constexpr AdapterModel kAdapterModels[] = {
    {0x6001, false},
    {0x6010, true},
};

inline std::u16string AdapterId(std::uint16_t productId, const char* function = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X%s", unsigned(CV_MAKER_VENDOR_ID), unsigned(productId), function);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// Every ID of every adapter: the product's own ID, and for a two-interface product also the IDs of
// its two functions (what Setup and the Remover look for).
inline std::vector<std::u16string> AllAdapterIds()
{
    std::vector<std::u16string> ids;
    for (const AdapterModel& model : kAdapterModels) {
        ids.push_back(AdapterId(model.productId));
        if (model.dualInterface) {
            ids.push_back(AdapterId(model.productId, "&MI_00"));
            ids.push_back(AdapterId(model.productId, "&MI_01"));
        }
    }
    return ids;
}

// The IDs the bus driver is installed on: a one-interface product's own ID and the functions of a
// two-interface one (whose composite device keeps the system's composite driver).
inline std::vector<std::u16string> BusDriverIds()
{
    std::vector<std::u16string> ids;
    for (const AdapterModel& model : kAdapterModels) {
        if (!model.dualInterface) {
            ids.push_back(AdapterId(model.productId));
            continue;
        }
        ids.push_back(AdapterId(model.productId, "&MI_00"));
        ids.push_back(AdapterId(model.productId, "&MI_01"));
    }
    return ids;
}

// The port INF's IDs: an RS-232 port and an RS-422/485 port.
inline constexpr char16_t kRs232PortId[] = u"PORTS\\PORTDRV23230";
inline constexpr char16_t kRs485PortId[] = u"PORTS\\PORTDRV42248530";

}  // namespace cvpackage
