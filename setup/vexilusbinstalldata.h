// The driver package Setup installs (the bus INF and the port INF, each with the hardware IDs it
// serves) and the state the install worker hands to the finish page.
#pragma once

#include <afx.h>
#include <setupapi.h>
#include <windows.h>

// One INF file of the package and the hardware IDs it installs.
class CDeviceInf {
public:
    // Whether the device's first hardware ID holds one of the IDs (the first that does decides).
    BOOL Matches(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

    CString m_strInfPath;
    CStringList m_HardwareIds;  // upper case, in insertion order
};

class CVexilUSBInstallData {
public:
    // Both INF records, from the current directory.
    CVexilUSBInstallData();
    ~CVexilUSBInstallData();
    CVexilUSBInstallData(const CVexilUSBInstallData&) = delete;
    CVexilUSBInstallData& operator=(const CVexilUSBInstallData&) = delete;

    // Destroys the device information set, if one is held.
    void DestroyDeviceInfo();

    CPtrList m_BusInfs;   // CDeviceInf*: the bus INF
    CPtrList m_PortInfs;  // CDeviceInf*: the port INF
    CString m_strResultTitle;
    BOOL m_bInstalled = FALSE;
    CString m_strResultDetail;
    HDEVINFO m_hDevInfo = INVALID_HANDLE_VALUE;

    CDeviceInf* BusInf() { return static_cast<CDeviceInf*>(m_BusInfs.GetHead()); }
    CDeviceInf* PortInf() { return static_cast<CDeviceInf*>(m_PortInfs.GetHead()); }
};

// The texts of a run that did not install.
extern const WCHAR SETUP_NOT_INSTALLED[];
extern const WCHAR SETUP_PREVIOUS_DETECTED[];
extern const WCHAR SETUP_INF_MISSING[];
