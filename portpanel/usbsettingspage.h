// CUSBSettingsPage: the adapter's USB transfer sizes and latency timer. The sheet builds it, so it
// reads its sets as the other USB page does, but never shows it.
#pragma once

#include <setupapi.h>

#include "portandbussets.h"

class CUSBSettingsPage {
public:
    CUSBSettingsPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);

private:
    CPortAndBusSets m_Sets;
};
