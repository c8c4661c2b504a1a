// Registry access of the kernel code: keys, 32-bit numbers and strings by value name, and absolute
// key paths built from a small set of relative roots. Every operation returns TRUE on success and
// FALSE otherwise, leaving its out value untouched on failure. PASSIVE_LEVEL only.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfstring.h"

// Relative roots of m_MakeRootPath, m_WriteDword and m_WriteString (the RTL_REGISTRY_* numbers).
#define TF_REGISTRY_ABSOLUTE 0    // the path is absolute
#define TF_REGISTRY_SERVICES 1    // \Registry\Machine\System\CurrentControlSet\Services
#define TF_REGISTRY_CONTROL 2     // \Registry\Machine\System\CurrentControlSet\Control
#define TF_REGISTRY_WINDOWS_NT 3  // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
#define TF_REGISTRY_DEVICEMAP 4   // \Registry\Machine\Hardware\DeviceMap
#define TF_REGISTRY_USER 5        // \Registry\User\CurrentUser
#define TF_REGISTRY_MAX_ROOT 5

// The operations keep no state, so they are static; an object may still be made and used.
class CTfRegistry : public CTfObjectBase {
public:
    CTfRegistry() {}
    virtual ~CTfRegistry() {}

    // Keys. The open and create forms take the caller's access mask; keys are opened
    // case-insensitive as kernel handles and created non-volatile.
    static BOOLEAN m_OpenKey(const CTfString& Path, PHANDLE phKey, ACCESS_MASK DesiredAccess,
                             BOOLEAN bCreate);
    static BOOLEAN m_OpenSubKey(HANDLE hParent, const CTfString& SubKey, PHANDLE phKey,
                                ACCESS_MASK DesiredAccess, BOOLEAN bCreate);
    static BOOLEAN m_CloseKey(HANDLE hKey);
    // TRUE when the key was deleted.
    static BOOLEAN m_DeleteKey(const CTfString& Path);
    static BOOLEAN m_KeyExists(HANDLE hParent, const CTfString& SubKey);

    // Values by name under an open key. An empty name is the key's default value.
    // A number: only REG_DWORD with exactly 4 data bytes.
    static BOOLEAN m_QueryDword(HANDLE hKey, const CTfString& ValueName, PULONG pulValue);
    // A string of exactly ulType (REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ, whose first string is
    // taken). The text ends at the value's end or its first zero character.
    static BOOLEAN m_QueryString(HANDLE hKey, const CTfString& ValueName, CTfString& Value,
                                 ULONG ulType);
    static BOOLEAN m_SetDword(HANDLE hKey, const CTfString& ValueName, ULONG ulValue);
    // Stores the text without a terminator (REG_MULTI_SZ: closed by two zero characters).
    static BOOLEAN m_SetString(HANDLE hKey, const CTfString& ValueName, const CTfString& Value,
                               ULONG ulType);

    // Values by relative root and path (RtlWriteRegistryValue; the final key is created).
    static BOOLEAN m_WriteDword(ULONG ulRoot, const CTfString& Path, const CTfString& ValueName,
                                ULONG ulValue);
    // Stores the text with its terminator (REG_MULTI_SZ: closed by two zero characters).
    static BOOLEAN m_WriteString(ULONG ulRoot, const CTfString& Path, const CTfString& ValueName,
                                 const CTfString& Value, ULONG ulType);
    static BOOLEAN m_WriteAbsoluteDword(const CTfString& Path, const CTfString& ValueName,
                                        ULONG ulValue);

    // Makes Path absolute in place: a leading backslash when missing, then the root's prefix.
    // An empty path or a root above 5 is refused.
    static BOOLEAN m_MakeRootPath(ULONG ulRoot, CTfString& Path);
    // Creates the key root + path (its parent must exist) and closes it again.
    static BOOLEAN m_CreateKeyPath(ULONG ulRoot, const CTfString& Path);
    // Reads a number under root + path.
    static BOOLEAN m_QueryRootDword(ULONG ulRoot, const CTfString& Path, const CTfString& ValueName,
                                    PULONG pulValue);
    static BOOLEAN m_QueryAbsoluteDword(const CTfString& Path, const CTfString& ValueName,
                                        PULONG pulValue);
};
