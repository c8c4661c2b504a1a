// Registry access of the kernel code.
#include "tfregistry.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

// Offset of the data in KEY_VALUE_PARTIAL_INFORMATION.
#define TF_PARTIAL_INFO_HEADER ((ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
// Zero bytes kept behind every query buffer, so its data is always followed by a terminator.
#define TF_QUERY_SPARE 2

static const WCHAR* const s_TfRootPrefixes[TF_REGISTRY_MAX_ROOT + 1] = {
    NULL,
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\CurrentUser",
};

static const WCHAR s_TfEmptyText[1] = {0};

// A caller's string may be used only when its last operation succeeded (an empty string that
// was merely asked for its buffer counts as usable).
static BOOLEAN TfRegIsUsable(const CTfString& String)
{
    NTSTATUS Status = String.m_GetStatus();
    return (NT_SUCCESS(Status) || Status == STATUS_NOT_FOUND) ? TRUE : FALSE;
}

// The counted form of a name; the empty string gives the empty name. The getters only clear the
// string's status, which leaves the caller's text as it was.
static PUNICODE_STRING TfRegGetName(const CTfString& String, PUNICODE_STRING pEmpty)
{
    CTfString& Name = const_cast<CTfString&>(String);
    if (Name.m_IsEmpty()) {
        pEmpty->Length = 0;
        pEmpty->MaximumLength = 0;
        pEmpty->Buffer = NULL;
        return pEmpty;
    }
    return Name.m_GetUnicodeString();
}

// The zero-terminated wide text; the empty string gives "".
static PCWSTR TfRegGetText(const CTfString& String)
{
    CTfString& Text = const_cast<CTfString&>(String);
    if (Text.m_IsEmpty()) {
        return s_TfEmptyText;
    }
    return Text.m_GetWideBuffer();
}

static BOOLEAN TfRegIsStringType(ULONG ulType)
{
    return (ulType == REG_SZ || ulType == REG_EXPAND_SZ || ulType == REG_MULTI_SZ) ? TRUE : FALSE;
}

// A zero-filled paged query buffer of cbLength bytes plus the spare terminator.
static PKEY_VALUE_PARTIAL_INFORMATION TfRegAllocateQueryBuffer(ULONG cbLength)
{
    PVOID p = AllocateTrackedPool(PagedPool, (SIZE_T)cbLength + TF_QUERY_SPARE);
    if (p != NULL) {
        RtlZeroMemory(p, (SIZE_T)cbLength + TF_QUERY_SPARE);
    }
    return (PKEY_VALUE_PARTIAL_INFORMATION)p;
}

// The wide text of a string value in a buffer the caller allocates: the text, then the closing
// zero characters of the value type (ulTerminators of them, two for REG_MULTI_SZ).
static PWCHAR TfRegBuildStringData(const CTfString& Value, ULONG ulTerminators, PULONG pcbData)
{
    CTfString& Text = const_cast<CTfString&>(Value);
    ULONG cbText = Text.m_IsEmpty() ? 0 : Text.m_GetLength();
    ULONG cbData = cbText + ulTerminators * sizeof(WCHAR);
    PWCHAR pData = (PWCHAR)AllocateTrackedPool(PagedPool, cbData);
    if (pData == NULL) {
        return NULL;
    }
    RtlZeroMemory(pData, cbData);
    if (cbText != 0) {
        RtlCopyMemory(pData, Text.m_GetWideBuffer(), cbText);
    }
    *pcbData = cbData;
    return pData;
}

BOOLEAN CTfRegistry::m_OpenKey(const CTfString& Path, PHANDLE phKey, ACCESS_MASK DesiredAccess,
                               BOOLEAN bCreate)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_OpenKey");
    if (phKey == NULL || !TfRegIsUsable(Path) || Path.m_IsEmpty()) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, const_cast<CTfString&>(Path).m_GetUnicodeString(),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hKey = NULL;
    NTSTATUS Status;
    if (bCreate) {
        ULONG ulDisposition = 0;
        Status = ZwCreateKey(&hKey, DesiredAccess, &ObjectAttributes, 0, NULL,
                             REG_OPTION_NON_VOLATILE, &ulDisposition);
    } else {
        Status = ZwOpenKey(&hKey, DesiredAccess, &ObjectAttributes);
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("%s %08x", bCreate ? "ZwCreateKey" : "ZwOpenKey", (ULONG)Status);
        return FALSE;
    }
    *phKey = hKey;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_OpenSubKey(HANDLE hParent, const CTfString& SubKey, PHANDLE phKey,
                                  ACCESS_MASK DesiredAccess, BOOLEAN bCreate)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_OpenSubKey");
    if (phKey == NULL || !TfRegIsUsable(SubKey)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    UNICODE_STRING EmptyName;
    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, TfRegGetName(SubKey, &EmptyName),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, hParent, NULL);
    HANDLE hKey = NULL;
    NTSTATUS Status;
    if (bCreate) {
        ULONG ulDisposition = 0;
        Status = ZwCreateKey(&hKey, DesiredAccess, &ObjectAttributes, 0, NULL,
                             REG_OPTION_NON_VOLATILE, &ulDisposition);
    } else {
        Status = ZwOpenKey(&hKey, DesiredAccess, &ObjectAttributes);
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("%s %08x", bCreate ? "ZwCreateKey" : "ZwOpenKey", (ULONG)Status);
        return FALSE;
    }
    *phKey = hKey;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_CloseKey(HANDLE hKey)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_CloseKey");
    NTSTATUS Status = ZwClose(hKey);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwClose %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_DeleteKey(const CTfString& Path)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_DeleteKey");
    HANDLE hKey = NULL;
    if (!m_OpenKey(Path, &hKey, KEY_ALL_ACCESS, FALSE)) {
        Log.m_Fail("open");
        return FALSE;
    }
    NTSTATUS Status = ZwDeleteKey(hKey);
    ZwClose(hKey);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwDeleteKey %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_KeyExists(HANDLE hParent, const CTfString& SubKey)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_KeyExists");
    HANDLE hKey = NULL;
    if (!m_OpenSubKey(hParent, SubKey, &hKey, KEY_READ, FALSE)) {
        Log.m_Fail("no key");
        return FALSE;
    }
    ZwClose(hKey);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_QueryDword(HANDLE hKey, const CTfString& ValueName, PULONG pulValue)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_QueryDword");
    if (pulValue == NULL || !TfRegIsUsable(ValueName)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    const ULONG cbQuery = TF_PARTIAL_INFO_HEADER + sizeof(ULONG);
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = TfRegAllocateQueryBuffer(cbQuery);
    if (pInfo == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }

    UNICODE_STRING EmptyName;
    ULONG cbResult = 0;
    NTSTATUS Status = ZwQueryValueKey(hKey, TfRegGetName(ValueName, &EmptyName),
                                      KeyValuePartialInformation, pInfo, cbQuery, &cbResult);
    BOOLEAN bResult = FALSE;
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwQueryValueKey %08x", (ULONG)Status);
    } else if (pInfo->Type != REG_DWORD || pInfo->DataLength != sizeof(ULONG)) {
        Log.m_Fail("type %u length %u", pInfo->Type, pInfo->DataLength);
    } else {
        ULONG ulValue;
        RtlCopyMemory(&ulValue, pInfo->Data, sizeof(ULONG));
        *pulValue = ulValue;
        bResult = TRUE;
        Log.m_Success();
    }
    FreeTrackedPool(pInfo);
    return bResult;
}

BOOLEAN CTfRegistry::m_QueryString(HANDLE hKey, const CTfString& ValueName, CTfString& Value,
                                   ULONG ulType)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_QueryString");
    if (!TfRegIsStringType(ulType) || !TfRegIsUsable(ValueName)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    UNICODE_STRING EmptyName;
    PUNICODE_STRING pName = TfRegGetName(ValueName, &EmptyName);

    // First ask with room for 4 data bytes; a longer value is asked for again at its full size.
    ULONG cbQuery = TF_PARTIAL_INFO_HEADER + sizeof(ULONG);
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = TfRegAllocateQueryBuffer(cbQuery);
    if (pInfo == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    ULONG cbResult = 0;
    NTSTATUS Status = ZwQueryValueKey(hKey, pName, KeyValuePartialInformation, pInfo, cbQuery,
                                      &cbResult);
    if (Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL) {
        FreeTrackedPool(pInfo);
        pInfo = NULL;
        if (cbResult < TF_PARTIAL_INFO_HEADER || cbResult > 0x7FFFFFFF) {
            Log.m_Fail("size %u", cbResult);
            return FALSE;
        }
        cbQuery = cbResult;
        pInfo = TfRegAllocateQueryBuffer(cbQuery);
        if (pInfo == NULL) {
            Log.m_Fail("no memory");
            return FALSE;
        }
        Status = ZwQueryValueKey(hKey, pName, KeyValuePartialInformation, pInfo, cbQuery, &cbResult);
    }

    BOOLEAN bResult = FALSE;
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwQueryValueKey %08x", (ULONG)Status);
    } else if (pInfo->Type != ulType) {
        Log.m_Fail("type %u", pInfo->Type);
    } else if (pInfo->DataLength > cbQuery - TF_PARTIAL_INFO_HEADER) {
        Log.m_Fail("length %u", pInfo->DataLength);
    } else {
        // Only whole characters of the stored data count; the text ends at the first zero one
        // (for REG_MULTI_SZ that is the end of the first string).
        const WCHAR* pText = (const WCHAR*)pInfo->Data;
        ULONG cchData = pInfo->DataLength / sizeof(WCHAR);
        ULONG cchText = 0;
        while (cchText < cchData && pText[cchText] != 0) {
            cchText++;
        }

        // Built aside, so a failure leaves the caller's string as it was.
        CTfString Text(Value.m_GetPoolType());
        if (cchText > TF_STRING_MAX_CHARS) {
            Log.m_Fail("too long %u", cchText);
        } else {
            if (cchText != 0) {
                UNICODE_STRING Data;
                Data.Length = (USHORT)(cchText * sizeof(WCHAR));
                Data.MaximumLength = Data.Length;
                Data.Buffer = (PWCH)pText;
                Text.m_AssignUnicodeString(&Data);
            }
            if (Text.m_GetStatus() != STATUS_SUCCESS) {
                Log.m_Fail("string %08x", (ULONG)Text.m_GetStatus());
            } else if (Value.m_Assign(Text) != STATUS_SUCCESS) {
                Log.m_Fail("assign %08x", (ULONG)Value.m_GetStatus());
            } else {
                bResult = TRUE;
                Log.m_Success();
            }
        }
    }
    FreeTrackedPool(pInfo);
    return bResult;
}

BOOLEAN CTfRegistry::m_SetDword(HANDLE hKey, const CTfString& ValueName, ULONG ulValue)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_SetDword");
    if (!TfRegIsUsable(ValueName)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }
    UNICODE_STRING EmptyName;
    NTSTATUS Status = ZwSetValueKey(hKey, TfRegGetName(ValueName, &EmptyName), 0, REG_DWORD, &ulValue,
                                    sizeof(ULONG));
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwSetValueKey %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_SetString(HANDLE hKey, const CTfString& ValueName, const CTfString& Value,
                                 ULONG ulType)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_SetString");
    if (!TfRegIsStringType(ulType) || !TfRegIsUsable(ValueName) || !TfRegIsUsable(Value)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    UNICODE_STRING EmptyName;
    PUNICODE_STRING pName = TfRegGetName(ValueName, &EmptyName);
    NTSTATUS Status;
    if (ulType == REG_MULTI_SZ) {
        // A multi-string is only well formed with its closing pair of zero characters.
        ULONG cbData = 0;
        PWCHAR pData = TfRegBuildStringData(Value, 2, &cbData);
        if (pData == NULL) {
            Log.m_Fail("no memory");
            return FALSE;
        }
        Status = ZwSetValueKey(hKey, pName, 0, ulType, pData, cbData);
        FreeTrackedPool(pData);
    } else if (Value.m_IsEmpty()) {
        Status = ZwSetValueKey(hKey, pName, 0, ulType, NULL, 0);
    } else {
        CTfString& Text = const_cast<CTfString&>(Value);
        Status = ZwSetValueKey(hKey, pName, 0, ulType, Text.m_GetWideBuffer(), Text.m_GetLength());
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwSetValueKey %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_WriteDword(ULONG ulRoot, const CTfString& Path, const CTfString& ValueName,
                                  ULONG ulValue)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_WriteDword");
    if (ulRoot > TF_REGISTRY_MAX_ROOT || !TfRegIsUsable(Path) || Path.m_IsEmpty() ||
        !TfRegIsUsable(ValueName)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }
    NTSTATUS Status = RtlWriteRegistryValue(ulRoot, TfRegGetText(Path), TfRegGetText(ValueName),
                                            REG_DWORD, &ulValue, sizeof(ULONG));
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("RtlWriteRegistryValue %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_WriteString(ULONG ulRoot, const CTfString& Path, const CTfString& ValueName,
                                   const CTfString& Value, ULONG ulType)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_WriteString");
    if (ulRoot > TF_REGISTRY_MAX_ROOT || !TfRegIsStringType(ulType) || !TfRegIsUsable(Path) ||
        Path.m_IsEmpty() || !TfRegIsUsable(ValueName) || !TfRegIsUsable(Value)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }

    NTSTATUS Status;
    if (ulType == REG_MULTI_SZ) {
        ULONG cbData = 0;
        PWCHAR pData = TfRegBuildStringData(Value, 2, &cbData);
        if (pData == NULL) {
            Log.m_Fail("no memory");
            return FALSE;
        }
        Status = RtlWriteRegistryValue(ulRoot, TfRegGetText(Path), TfRegGetText(ValueName), ulType,
                                       pData, cbData);
        FreeTrackedPool(pData);
    } else if (Value.m_IsEmpty()) {
        // The empty string has no buffer: its terminator comes from here.
        WCHAR wcTerminator = 0;
        Status = RtlWriteRegistryValue(ulRoot, TfRegGetText(Path), TfRegGetText(ValueName), ulType,
                                       &wcTerminator, sizeof(WCHAR));
    } else {
        CTfString& Text = const_cast<CTfString&>(Value);
        Status = RtlWriteRegistryValue(ulRoot, TfRegGetText(Path), TfRegGetText(ValueName), ulType,
                                       Text.m_GetWideBuffer(), (ULONG)Text.m_GetLength() + sizeof(WCHAR));
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("RtlWriteRegistryValue %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_WriteAbsoluteDword(const CTfString& Path, const CTfString& ValueName,
                                          ULONG ulValue)
{
    CTfRoutineLog Log("CTfRegistry::m_WriteAbsoluteDword");
    if (!m_WriteDword(TF_REGISTRY_ABSOLUTE, Path, ValueName, ulValue)) {
        Log.m_Fail("write");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_MakeRootPath(ULONG ulRoot, CTfString& Path)
{
    CTfRoutineLog Log("CTfRegistry::m_MakeRootPath");
    if (ulRoot > TF_REGISTRY_MAX_ROOT || !TfRegIsUsable(Path) || Path.m_IsEmpty()) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }
    if (Path.m_GetWideBuffer()[0] != u'\\') {
        if (Path.m_PrependWide(u"\\") != STATUS_SUCCESS) {
            Log.m_Fail("backslash");
            return FALSE;
        }
    }
    if (s_TfRootPrefixes[ulRoot] != NULL) {
        if (Path.m_PrependWide(s_TfRootPrefixes[ulRoot]) != STATUS_SUCCESS) {
            Log.m_Fail("prefix");
            return FALSE;
        }
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_CreateKeyPath(ULONG ulRoot, const CTfString& Path)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_CreateKeyPath");
    if (!TfRegIsUsable(Path)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }
    CTfString FullPath(Path);
    if (FullPath.m_GetStatus() != STATUS_SUCCESS || !m_MakeRootPath(ulRoot, FullPath)) {
        Log.m_Fail("path");
        return FALSE;
    }

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, FullPath.m_GetUnicodeString(), OBJ_CASE_INSENSITIVE,
                               NULL, NULL);
    HANDLE hKey = NULL;
    ULONG ulDisposition = 0;
    NTSTATUS Status = ZwCreateKey(&hKey, KEY_ALL_ACCESS, &ObjectAttributes, 0, NULL,
                                  REG_OPTION_NON_VOLATILE, &ulDisposition);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("ZwCreateKey %08x", (ULONG)Status);
        return FALSE;
    }
    ZwClose(hKey);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_QueryRootDword(ULONG ulRoot, const CTfString& Path,
                                      const CTfString& ValueName, PULONG pulValue)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_QueryRootDword");
    if (pulValue == NULL || !TfRegIsUsable(Path)) {
        Log.m_Fail("invalid parameter");
        return FALSE;
    }
    CTfString FullPath(Path);
    if (FullPath.m_GetStatus() != STATUS_SUCCESS || !m_MakeRootPath(ulRoot, FullPath)) {
        Log.m_Fail("path");
        return FALSE;
    }
    HANDLE hKey = NULL;
    if (!m_OpenKey(FullPath, &hKey, KEY_READ, FALSE)) {
        Log.m_Fail("open");
        return FALSE;
    }
    // Read into a local first: the caller's value changes only when the whole call succeeds.
    ULONG ulValue = 0;
    BOOLEAN bRead = m_QueryDword(hKey, ValueName, &ulValue);
    BOOLEAN bClosed = m_CloseKey(hKey);
    if (!bRead || !bClosed) {
        Log.m_Fail("%s", bRead ? "close" : "read");
        return FALSE;
    }
    *pulValue = ulValue;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistry::m_QueryAbsoluteDword(const CTfString& Path, const CTfString& ValueName,
                                          PULONG pulValue)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfRegistry::m_QueryAbsoluteDword");
    if (!m_QueryRootDword(TF_REGISTRY_ABSOLUTE, Path, ValueName, pulValue)) {
        Log.m_Fail("read");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}
