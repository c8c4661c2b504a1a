// The latency curve. The table rises through fixed points and straight between them, rounding
// down; the points keep the slider's known positions (2, 1000, 6111, 8321, 16000, 16640 give 2,
// 25, 1040, 2114, 13844 and 16640 ms).
#include "latencytable.h"

#include <algorithm>
#include <array>

namespace {

struct CPoint {
    int k;
    DWORD dwFactor;
};

const CPoint POINTS[] = {{0, 0},     {1, 2},     {2, 3},     {3, 5},     {15, 24},   {52, 89},   {53, 90},
                         {75, 134},  {93, 174},  {97, 183},  {127, 260}, {200, 538}, {245, 886}, {254, 1008},
                         {255, 1024}};

std::array<DWORD, LATENCY_TABLE_SIZE> BuildTable()
{
    std::array<DWORD, LATENCY_TABLE_SIZE> Table{};
    for (size_t i = 0; i + 1 < sizeof(POINTS) / sizeof(POINTS[0]); ++i) {
        const CPoint& From = POINTS[i];
        const CPoint& To = POINTS[i + 1];
        for (int k = From.k; k <= To.k; ++k)
            Table[k] = From.dwFactor + (To.dwFactor - From.dwFactor) * (k - From.k) / (To.k - From.k);
    }
    return Table;
}

const std::array<DWORD, LATENCY_TABLE_SIZE>& Table()
{
    static const std::array<DWORD, LATENCY_TABLE_SIZE> TABLE = BuildTable();
    return TABLE;
}

}  // namespace

DWORD LatencyFactor(int k) { return Table()[std::clamp(k, 0, LATENCY_TABLE_SIZE - 1)]; }

DWORD LatencyOfSliderPosition(int nPosition)
{
    const DWORD dwSteps = std::clamp(nPosition, static_cast<int>(LATENCY_POSITION_MIN), static_cast<int>(LATENCY_POSITION_MAX)) -
                          LATENCY_POSITION_MIN;
    const DWORD dwSpan = LATENCY_POSITION_MAX - LATENCY_POSITION_MIN;
    const int k = static_cast<int>(dwSteps * 255 / dwSpan);
    return LATENCY_POSITION_MIN + dwSteps * LatencyFactor(k) / 1024;
}
