#include "win9xuninstalldata.h"

#ifndef CV_MAKER_PCI_VENDOR_ID
// The maker's PCI vendor ID: a placeholder until the maker's number is known.
#define CV_MAKER_PCI_VENDOR_ID 0x1A5C
#endif

CTfWin9xUninstallData::CTfWin9xUninstallData()
{
    m_RegistryKeys.push_back(u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TidalForge");
    // The older product lines' INF, VxD, system, DLL and help file names are not part of this
    // package's tables.
    m_EnumRoots = {u"Enum\\MF", u"Enum\\PCI", u"Enum\\PCMCIA", u"Enum\\Root\\MultiFunction"};
    m_strDriverKeyPrefix = u"System\\CurrentControlSet\\Services\\Class";
    m_ClassKeys = {u"System\\CurrentControlSet\\Services\\Class\\MultiFunction",
                   u"System\\CurrentControlSet\\Services\\Class\\MultiPortSerial",
                   u"System\\CurrentControlSet\\Services\\Class\\Ports"};
    m_strPciVendorTag.Format(u"VEN_%04X", CV_MAKER_PCI_VENDOR_ID);
    m_strManufacturerTag = u"CASTEL_VANE";
    m_strProviderTag = u"TIDAL FORGE";
}
