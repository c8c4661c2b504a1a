// CVexilUSBInstallOperation: whether the package was installed before; CDriver: a device the
// install worker found.
#pragma once

#include <setupapi.h>
#include <windows.h>

class CVexilUSBInstallData;

class CVexilUSBInstallOperation {
public:
    // True when a device of the set matches a bus ID and is either present with a problem other
    // than "not configured" (a driver or none) or known but absent.
    BOOL DetectPreviousInstallation(CVexilUSBInstallData* pData);
};

class CDriver {
public:
    explicit CDriver(const SP_DEVINFO_DATA& DevInfoData) : m_DevInfoData(DevInfoData)
    {
        m_DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    }
    SP_DEVINFO_DATA m_DevInfoData;
};
