// The tables of the Windows 9x operation: the registry places and tags of the maker's older
// products, and what the searches find.
#pragma once

#include "uninstalldata.h"

class CTfWin9xUninstallData : public CTfUninstallData {
public:
    CTfWin9xUninstallData();

    CTfStringTable m_RegistryKeys;
    CTfStringTable m_SystemFilesFound;  // system files, VxDs and DLLs
    CTfStringTable m_InfFilesFound;     // companions: .pnf
    CTfStringTable m_HelpFilesFound;    // companions: .gid
    CTfStringTable m_FilesLeft;         // could not be removed

    CTfStringTable m_InfNames;
    CTfStringTable m_VxdNames;
    CTfStringTable m_SystemFiles;
    CTfStringTable m_DllNames;
    CTfStringTable m_EnumRoots;
    CTfStringTable m_HelpFiles;
    CString m_strDriverKeyPrefix;
    CTfStringTable m_ClassKeys;
    CString m_strPciVendorTag;
    CString m_strManufacturerTag;
    CString m_strProviderTag;
};
