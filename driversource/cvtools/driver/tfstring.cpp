// Counted strings.
#include "tfstring.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

// Bytes of the wide text plus its terminator must fit a 16-bit maximum length.
#define TF_STRING_MAX_BYTES ((ULONG)TF_STRING_MAX_CHARS * sizeof(WCHAR))

// Length of a terminated text, counting no further than cchLimit + 1 characters.
static SIZE_T TfWideLength(const WCHAR* psz, SIZE_T cchLimit)
{
    SIZE_T cch = 0;
    while (cch <= cchLimit && psz[cch] != 0) {
        cch++;
    }
    return cch;
}

static SIZE_T TfAnsiLength(const CHAR* psz, SIZE_T cchLimit)
{
    SIZE_T cch = 0;
    while (cch <= cchLimit && psz[cch] != 0) {
        cch++;
    }
    return cch;
}

static BOOLEAN TfIsHexDigit(WCHAR wc)
{
    return (wc >= u'0' && wc <= u'9') || (wc >= u'a' && wc <= u'f') || (wc >= u'A' && wc <= u'F');
}

// ---------------------------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------------------------

CTfString::CTfString(POOL_TYPE PoolType)
    : m_Status(STATUS_SUCCESS), m_PoolType(PoolType), m_lNumber(0), m_bNumberValid(FALSE)
{
    CTfRoutineLog Log("CTfString::CTfString");
    RtlZeroMemory(&m_UnicodeString, sizeof(m_UnicodeString));
    RtlZeroMemory(&m_AnsiString, sizeof(m_AnsiString));
    Log.m_Success();
}

CTfString::CTfString(POOL_TYPE PoolType, const CHAR* pszText)
    : m_Status(STATUS_SUCCESS), m_PoolType(PoolType), m_lNumber(0), m_bNumberValid(FALSE)
{
    CTfRoutineLog Log("CTfString::CTfString");
    RtlZeroMemory(&m_UnicodeString, sizeof(m_UnicodeString));
    RtlZeroMemory(&m_AnsiString, sizeof(m_AnsiString));
    Log.m_Result(m_AssignAnsi(pszText));
}

CTfString::CTfString(POOL_TYPE PoolType, const WCHAR* pszText)
    : m_Status(STATUS_SUCCESS), m_PoolType(PoolType), m_lNumber(0), m_bNumberValid(FALSE)
{
    CTfRoutineLog Log("CTfString::CTfString");
    RtlZeroMemory(&m_UnicodeString, sizeof(m_UnicodeString));
    RtlZeroMemory(&m_AnsiString, sizeof(m_AnsiString));
    Log.m_Result(m_AssignWide(pszText));
}

CTfString::CTfString(const CTfString& Source)
    : CTfObjectBase(),
      m_Status(STATUS_SUCCESS),
      m_PoolType(Source.m_PoolType),
      m_lNumber(0),
      m_bNumberValid(FALSE)
{
    CTfRoutineLog Log("CTfString::CTfString");
    RtlZeroMemory(&m_UnicodeString, sizeof(m_UnicodeString));
    RtlZeroMemory(&m_AnsiString, sizeof(m_AnsiString));
    if (NT_SUCCESS(m_Assign(Source))) {
        m_lNumber = Source.m_lNumber;
        m_bNumberValid = Source.m_bNumberValid;
    }
    Log.m_Result(m_Status);
}

CTfString::~CTfString()
{
    CTfRoutineLog Log("CTfString::~CTfString");
    m_Free();
    Log.m_Success();
}

CTfString& CTfString::operator=(const CTfString& Source)
{
    if (this != &Source && NT_SUCCESS(m_Assign(Source))) {
        m_lNumber = Source.m_lNumber;
        m_bNumberValid = Source.m_bNumberValid;
    }
    return *this;
}

void CTfString::m_Free()
{
    CTfRoutineLog Log("CTfString::m_Free");
    if (m_UnicodeString.Buffer != NULL) {
        FreeTrackedPool(m_UnicodeString.Buffer);
    }
    if (m_AnsiString.Buffer != NULL) {
        FreeTrackedPool(m_AnsiString.Buffer);
    }
    RtlZeroMemory(&m_UnicodeString, sizeof(m_UnicodeString));
    RtlZeroMemory(&m_AnsiString, sizeof(m_AnsiString));
    m_lNumber = 0;
    m_bNumberValid = FALSE;
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Building blocks: every change of the text goes through a new pair of buffers that replaces the
// old pair only once it is complete, so a source inside this string stays readable.
// ---------------------------------------------------------------------------------------------

// Makes the ANSI copy of a wide text into a new buffer of the wide maximum length.
NTSTATUS CTfString::m_BuildAnsi(PCUNICODE_STRING pWide, PANSI_STRING pAnsi)
{
    CTfRoutineLog Log("CTfString::m_BuildAnsi");

    pAnsi->Length = 0;
    pAnsi->MaximumLength = pWide->MaximumLength;
    pAnsi->Buffer = (PCHAR)AllocateTrackedPool(m_PoolType, pWide->MaximumLength);
    if (pAnsi->Buffer == NULL) {
        pAnsi->MaximumLength = 0;
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    NTSTATUS Status = RtlUnicodeStringToAnsiString(pAnsi, pWide, FALSE);
    if (!NT_SUCCESS(Status)) {
        FreeTrackedPool(pAnsi->Buffer);
        RtlZeroMemory(pAnsi, sizeof(*pAnsi));
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    pAnsi->Buffer[pAnsi->Length] = 0;

    Log.m_Result(STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// New buffers holding cchFirst characters of pFirst followed by cchSecond of pSecond.
NTSTATUS CTfString::m_BuildWide(const WCHAR* pFirst, SIZE_T cchFirst, const WCHAR* pSecond,
                                SIZE_T cchSecond, PUNICODE_STRING pWide, PANSI_STRING pAnsi)
{
    CTfRoutineLog Log("CTfString::m_BuildWide");

    RtlZeroMemory(pWide, sizeof(*pWide));
    RtlZeroMemory(pAnsi, sizeof(*pAnsi));

    SIZE_T cch = cchFirst + cchSecond;
    if (cch > TF_STRING_MAX_CHARS) {
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    USHORT cbLength = (USHORT)(cch * sizeof(WCHAR));
    pWide->Buffer = (PWCH)AllocateTrackedPool(m_PoolType, cbLength + sizeof(WCHAR));
    if (pWide->Buffer == NULL) {
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    if (cchFirst != 0) {
        RtlCopyMemory(pWide->Buffer, pFirst, cchFirst * sizeof(WCHAR));
    }
    if (cchSecond != 0) {
        RtlCopyMemory(pWide->Buffer + cchFirst, pSecond, cchSecond * sizeof(WCHAR));
    }
    pWide->Buffer[cch] = 0;
    pWide->Length = cbLength;
    pWide->MaximumLength = (USHORT)(cbLength + sizeof(WCHAR));

    NTSTATUS Status = m_BuildAnsi(pWide, pAnsi);
    if (!NT_SUCCESS(Status)) {
        FreeTrackedPool(pWide->Buffer);
        RtlZeroMemory(pWide, sizeof(*pWide));
    }
    Log.m_Result(Status);
    return Status;
}

// Replaces the text by a finished pair of buffers (both null for the empty string) and reads the
// number again.
void CTfString::m_Install(PUNICODE_STRING pWide, PANSI_STRING pAnsi)
{
    CTfRoutineLog Log("CTfString::m_Install");
    m_Free();
    if (pWide->Length != 0) {
        m_UnicodeString = *pWide;
        m_AnsiString = *pAnsi;
    } else {
        // The empty string keeps no buffers.
        FreeTrackedPool(pWide->Buffer);
        FreeTrackedPool(pAnsi->Buffer);
    }
    m_ReadNumber();
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
}

// Sets the text to cch wide characters. On failure the string is emptied.
NTSTATUS CTfString::m_SetWide(const WCHAR* pText, SIZE_T cch)
{
    CTfRoutineLog Log("CTfString::m_SetWide");

    if (cch == 0) {
        m_Free();
        Log.m_Result(STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    UNICODE_STRING Wide;
    ANSI_STRING Ansi;
    NTSTATUS Status = m_BuildWide(pText, cch, NULL, 0, &Wide, &Ansi);
    if (!NT_SUCCESS(Status)) {
        m_Free();
        m_Status = Status;
        Log.m_Result(Status);
        return Status;
    }
    m_Install(&Wide, &Ansi);
    Log.m_Result(STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// Sets the text to cb ANSI bytes converted with the system's code page. On failure the string is
// emptied.
NTSTATUS CTfString::m_SetAnsi(const CHAR* pText, SIZE_T cb)
{
    CTfRoutineLog Log("CTfString::m_SetAnsi");

    if (cb == 0) {
        m_Free();
        Log.m_Result(STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    NTSTATUS Status = STATUS_NO_MEMORY;
    PWCH pWideText = NULL;
    if (cb <= TF_STRING_MAX_CHARS) {
        ANSI_STRING Source;
        Source.Length = (USHORT)cb;
        Source.MaximumLength = (USHORT)cb;
        Source.Buffer = (PCHAR)pText;

        ULONG cbWide = NLS_MB_CODE_PAGE_TAG ? RtlAnsiStringToUnicodeSize(&Source)
                                            : (ULONG)(2 * cb + sizeof(WCHAR));
        if (cbWide >= sizeof(WCHAR) && cbWide <= TF_STRING_MAX_BYTES + sizeof(WCHAR)) {
            pWideText = (PWCH)AllocateTrackedPool(m_PoolType, cbWide);
        }
        if (pWideText != NULL) {
            UNICODE_STRING Converted;
            Converted.Length = 0;
            Converted.MaximumLength = (USHORT)cbWide;
            Converted.Buffer = pWideText;
            Status = RtlAnsiStringToUnicodeString(&Converted, &Source, FALSE);
            if (NT_SUCCESS(Status)) {
                UNICODE_STRING Wide;
                ANSI_STRING Ansi;
                Status = m_BuildWide(Converted.Buffer, Converted.Length / sizeof(WCHAR), NULL, 0, &Wide, &Ansi);
                if (NT_SUCCESS(Status)) {
                    FreeTrackedPool(pWideText);
                    m_Install(&Wide, &Ansi);
                    Log.m_Result(STATUS_SUCCESS);
                    return STATUS_SUCCESS;
                }
            }
            Status = STATUS_NO_MEMORY;
            FreeTrackedPool(pWideText);
        }
    }
    m_Free();
    m_Status = Status;
    Log.m_Result(Status);
    return Status;
}

// Reads the text as a base-16 number. The run-time routine stops at the first character that is
// no digit, so the number counts as valid only when the whole text is one.
void CTfString::m_ReadNumber()
{
    CTfRoutineLog Log("CTfString::m_ReadNumber");

    m_lNumber = 0;
    m_bNumberValid = FALSE;
    if (m_UnicodeString.Buffer == NULL || m_UnicodeString.Length == 0) {
        Log.m_Fail("empty text");
        return;
    }

    ULONG cch = m_UnicodeString.Length / sizeof(WCHAR);
    ULONG ul = 0;
    while (ul < cch && m_UnicodeString.Buffer[ul] <= u' ') {
        ul++;
    }
    if (ul < cch && (m_UnicodeString.Buffer[ul] == u'+' || m_UnicodeString.Buffer[ul] == u'-')) {
        ul++;
    }
    if (ul == cch) {
        Log.m_Fail("no digits");
        return;
    }
    for (; ul < cch; ul++) {
        if (!TfIsHexDigit(m_UnicodeString.Buffer[ul])) {
            Log.m_Fail("not a number");
            return;
        }
    }

    ULONG ulValue = 0;
    if (!NT_SUCCESS(RtlUnicodeStringToInteger(&m_UnicodeString, 16, &ulValue))) {
        Log.m_Fail("conversion");
        return;
    }
    m_lNumber = (LONG)ulValue;
    m_bNumberValid = TRUE;
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Assignment
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfString::m_AssignAnsi(const CHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_AssignAnsi");
    NTSTATUS Status;
    if (pszText == NULL) {
        m_Free();
        Status = STATUS_SUCCESS;
    } else {
        SIZE_T cb = TfAnsiLength(pszText, TF_STRING_MAX_CHARS);
        if (cb > TF_STRING_MAX_CHARS) {
            m_Free();
            m_Status = STATUS_NO_MEMORY;
            Status = STATUS_NO_MEMORY;
        } else {
            Status = m_SetAnsi(pszText, cb);
        }
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AssignAnsi(PCANSI_STRING pAnsi)
{
    CTfRoutineLog Log("CTfString::m_AssignAnsi");
    NTSTATUS Status;
    if (pAnsi == NULL || pAnsi->Length == 0) {
        m_Free();
        Status = STATUS_SUCCESS;
    } else if (pAnsi->Buffer == NULL) {
        m_Free();
        m_Status = STATUS_INVALID_PARAMETER;
        Status = STATUS_INVALID_PARAMETER;
    } else {
        Status = m_SetAnsi(pAnsi->Buffer, pAnsi->Length);
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AssignWide(const WCHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_AssignWide");
    NTSTATUS Status;
    if (pszText == NULL) {
        m_Free();
        Status = STATUS_SUCCESS;
    } else {
        SIZE_T cch = TfWideLength(pszText, TF_STRING_MAX_CHARS);
        if (cch > TF_STRING_MAX_CHARS) {
            // Too long for a counted string: refused rather than cut.
            m_Free();
            m_Status = STATUS_NO_MEMORY;
            Status = STATUS_NO_MEMORY;
        } else {
            Status = m_SetWide(pszText, cch);
        }
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AssignUnicodeString(PCUNICODE_STRING pString)
{
    CTfRoutineLog Log("CTfString::m_AssignUnicodeString");
    NTSTATUS Status;
    if (pString == NULL) {
        m_Free();
        Status = STATUS_SUCCESS;
    } else if (!NT_SUCCESS(RtlUnicodeStringValidate(pString)) ||
               pString->Length > TF_STRING_MAX_BYTES) {
        m_Free();
        m_Status = STATUS_NO_MEMORY;
        Status = STATUS_NO_MEMORY;
    } else {
        Status = m_SetWide(pString->Buffer, pString->Length / sizeof(WCHAR));
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_Assign(const CTfString& Source)
{
    CTfRoutineLog Log("CTfString::m_Assign");
    NTSTATUS Status = m_SetWide(Source.m_UnicodeString.Buffer, Source.m_UnicodeString.Length / sizeof(WCHAR));
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AssignGuid(const GUID& Guid)
{
    CTfRoutineLog Log("CTfString::m_AssignGuid");
    UNICODE_STRING GuidText;
    RtlZeroMemory(&GuidText, sizeof(GuidText));
    NTSTATUS Status = RtlStringFromGUID(Guid, &GuidText);
    if (!NT_SUCCESS(Status)) {
        m_Free();
        m_Status = Status;
    } else {
        Status = m_SetWide(GuidText.Buffer, GuidText.Length / sizeof(WCHAR));
        RtlFreeUnicodeString(&GuidText);
    }
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AssignNumber(ULONG ulValue, ULONG ulRadix)
{
    CTfRoutineLog Log("CTfString::m_AssignNumber");
    WCHAR wszDigits[16];
    UNICODE_STRING Digits;
    Digits.Length = 0;
    Digits.MaximumLength = sizeof(wszDigits);
    Digits.Buffer = wszDigits;
    NTSTATUS Status = RtlIntegerToUnicodeString(ulValue, (ulRadix == 10) ? 10 : 16, &Digits);
    if (!NT_SUCCESS(Status)) {
        m_Free();
        m_Status = Status;
    } else {
        Status = m_SetWide(wszDigits, Digits.Length / sizeof(WCHAR));
        if (NT_SUCCESS(Status)) {
            m_lNumber = (LONG)ulValue;
            m_bNumberValid = TRUE;
        }
    }
    Log.m_Result(Status);
    return Status;
}

void CTfString::m_Clear()
{
    CTfRoutineLog Log("CTfString::m_Clear");
    m_Free();
    Log.m_Success();
}

BOOLEAN CTfString::m_AssignLeft(const CHAR* pText, ULONG cbCount)
{
    CTfRoutineLog Log("CTfString::m_AssignLeft");
    if (pText == NULL || cbCount == 0) {
        m_Status = STATUS_INVALID_PARAMETER;
        Log.m_Fail("no text");
        return FALSE;
    }
    NTSTATUS Status;
    if (cbCount > TF_STRING_MAX_CHARS) {
        m_Free();
        m_Status = STATUS_NO_MEMORY;
        Status = STATUS_NO_MEMORY;
    } else {
        Status = m_SetAnsi(pText, cbCount);
    }
    Log.m_Result(Status);
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

BOOLEAN CTfString::m_AssignLeft(const WCHAR* pText, ULONG cbCount)
{
    CTfRoutineLog Log("CTfString::m_AssignLeft");
    if (pText == NULL || cbCount == 0 || (cbCount % sizeof(WCHAR)) != 0) {
        m_Status = STATUS_INVALID_PARAMETER;
        Log.m_Fail("bad count");
        return FALSE;
    }
    NTSTATUS Status;
    if (cbCount > TF_STRING_MAX_BYTES) {
        m_Free();
        m_Status = STATUS_NO_MEMORY;
        Status = STATUS_NO_MEMORY;
    } else {
        Status = m_SetWide(pText, cbCount / sizeof(WCHAR));
    }
    Log.m_Result(Status);
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Append and prepend
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfString::m_Concatenate(ULONG ulKind, const void* pSource, ULONG ulNumber, ULONG ulRadix,
                                  BOOLEAN bFront)
{
    CTfRoutineLog Log("CTfString::m_Concatenate");

    if (ulKind < TF_CONCAT_NUMBER || ulKind > TF_CONCAT_STRING) {
        m_Status = STATUS_INVALID_PARAMETER;
        Log.m_Result(STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    if (ulKind != TF_CONCAT_NUMBER && pSource == NULL) {
        m_Status = STATUS_SUCCESS;
        Log.m_Result(STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    // The source as a string of its own.
    CTfString Converted(m_PoolType);
    const CTfString* pAdded = &Converted;
    switch (ulKind) {
    case TF_CONCAT_NUMBER:
        Converted.m_AssignNumber(ulNumber, ulRadix);
        break;
    case TF_CONCAT_ANSI:
        Converted.m_AssignAnsi((const CHAR*)pSource);
        break;
    case TF_CONCAT_ANSI_STRING:
        Converted.m_AssignAnsi((PCANSI_STRING)pSource);
        break;
    case TF_CONCAT_WIDE:
        Converted.m_AssignWide((const WCHAR*)pSource);
        break;
    case TF_CONCAT_UNICODE_STRING:
        Converted.m_AssignUnicodeString((PCUNICODE_STRING)pSource);
        break;
    default:
        pAdded = (const CTfString*)pSource;
        break;
    }
    // A string source's own status tells of its last query, not of its text.
    if (pAdded == &Converted && !NT_SUCCESS(Converted.m_Status)) {
        m_Status = Converted.m_Status;
        Log.m_Result(m_Status);
        return m_Status;
    }

    SIZE_T cchOld = m_UnicodeString.Length / sizeof(WCHAR);
    SIZE_T cchAdded = pAdded->m_UnicodeString.Length / sizeof(WCHAR);
    if (cchOld + cchAdded > TF_STRING_MAX_CHARS) {
        // The text stays as it was.
        m_Status = STATUS_NO_MEMORY;
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    if (cchOld + cchAdded == 0) {
        m_Free();
        Log.m_Result(STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    UNICODE_STRING Wide;
    ANSI_STRING Ansi;
    NTSTATUS Status;
    if (bFront) {
        Status = m_BuildWide(pAdded->m_UnicodeString.Buffer, cchAdded, m_UnicodeString.Buffer, cchOld, &Wide, &Ansi);
    } else {
        Status = m_BuildWide(m_UnicodeString.Buffer, cchOld, pAdded->m_UnicodeString.Buffer, cchAdded, &Wide, &Ansi);
    }
    if (!NT_SUCCESS(Status)) {
        m_Status = Status;
        Log.m_Result(Status);
        return Status;
    }
    m_Install(&Wide, &Ansi);
    Log.m_Result(STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS CTfString::m_AppendNumber(ULONG ulValue, ULONG ulRadix)
{
    CTfRoutineLog Log("CTfString::m_AppendNumber");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_NUMBER, NULL, ulValue, ulRadix, FALSE);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AppendAnsi(const CHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_AppendAnsi");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_ANSI, pszText, 0, 0, FALSE);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AppendAnsi(CHAR chCharacter)
{
    CHAR szText[2] = {chCharacter, 0};
    return m_AppendAnsi(szText);
}

NTSTATUS CTfString::m_PrependAnsi(const CHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_PrependAnsi");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_ANSI, pszText, 0, 0, TRUE);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AppendWide(const WCHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_AppendWide");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_WIDE, pszText, 0, 0, FALSE);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_AppendWide(WCHAR wcCharacter)
{
    WCHAR wszText[2] = {wcCharacter, 0};
    return m_AppendWide(wszText);
}

NTSTATUS CTfString::m_PrependWide(const WCHAR* pszText)
{
    CTfRoutineLog Log("CTfString::m_PrependWide");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_WIDE, pszText, 0, 0, TRUE);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_Append(const CTfString& Source)
{
    CTfRoutineLog Log("CTfString::m_Append");
    NTSTATUS Status = m_Concatenate(TF_CONCAT_STRING, &Source, 0, 0, FALSE);
    Log.m_Result(Status);
    return Status;
}

// ---------------------------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------------------------

USHORT CTfString::m_GetLength()
{
    CTfRoutineLog Log("CTfString::m_GetLength");
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
    return m_UnicodeString.Length;
}

USHORT CTfString::m_GetAnsiLength()
{
    CTfRoutineLog Log("CTfString::m_GetAnsiLength");
    Log.m_Success();
    return m_AnsiString.Length;
}

PUNICODE_STRING CTfString::m_GetUnicodeString()
{
    CTfRoutineLog Log("CTfString::m_GetUnicodeString");
    if (m_UnicodeString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Fail("empty string");
        return NULL;
    }
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
    return &m_UnicodeString;
}

PANSI_STRING CTfString::m_GetAnsiString()
{
    CTfRoutineLog Log("CTfString::m_GetAnsiString");
    if (m_AnsiString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Fail("empty string");
        return NULL;
    }
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
    return &m_AnsiString;
}

PWSTR CTfString::m_GetWideBuffer()
{
    CTfRoutineLog Log("CTfString::m_GetWideBuffer");
    if (m_UnicodeString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Fail("empty string");
        return NULL;
    }
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
    return m_UnicodeString.Buffer;
}

PCHAR CTfString::m_GetAnsiBuffer()
{
    CTfRoutineLog Log("CTfString::m_GetAnsiBuffer");
    if (m_AnsiString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Fail("empty string");
        return NULL;
    }
    m_Status = STATUS_SUCCESS;
    Log.m_Success();
    return m_AnsiString.Buffer;
}

BOOLEAN CTfString::m_IsEqual(PCUNICODE_STRING pString)
{
    CTfRoutineLog Log("CTfString::m_IsEqual");
    m_Status = STATUS_SUCCESS;
    BOOLEAN bEqual;
    if (pString == NULL) {
        bEqual = (m_UnicodeString.Length == 0) ? TRUE : FALSE;
    } else if (pString->Length == 0 || m_UnicodeString.Length == 0) {
        bEqual = (pString->Length == m_UnicodeString.Length) ? TRUE : FALSE;
    } else {
        bEqual = RtlEqualUnicodeString(&m_UnicodeString, pString, FALSE);
    }
    Log.m_Success();
    return bEqual;
}

BOOLEAN CTfString::m_IsEqual(const CTfString& Other)
{
    CTfRoutineLog Log("CTfString::m_IsEqual");
    BOOLEAN bEqual = m_IsEqual(&Other.m_UnicodeString);
    Log.m_Success();
    return bEqual;
}

BOOLEAN CTfString::m_GetCharAt(ULONG ulPosition, CHAR* pchCharacter)
{
    CTfRoutineLog Log("CTfString::m_GetCharAt");
    if (pchCharacter == NULL || ulPosition == 0 || ulPosition > m_AnsiString.Length) {
        Log.m_Fail("no such position");
        return FALSE;
    }
    *pchCharacter = m_AnsiString.Buffer[ulPosition - 1];
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Searching and editing, on the wide text with 1-based character positions
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfString::m_FindChar(ULONG* pulPosition, CHAR chCharacter)
{
    CTfRoutineLog Log("CTfString::m_FindChar");
    if (pulPosition == NULL || *pulPosition == 0) {
        Log.m_Fail("bad position");
        return FALSE;
    }
    WCHAR wc = (WCHAR)(UCHAR)chCharacter;
    ULONGLONG cch = m_UnicodeString.Length / sizeof(WCHAR);
    for (ULONGLONG ull = *pulPosition; ull <= cch; ull++) {
        if (m_UnicodeString.Buffer[ull - 1] == wc) {
            *pulPosition = (ULONG)ull;
            Log.m_Success();
            return TRUE;
        }
    }
    Log.m_Fail("not found");
    return FALSE;
}

BOOLEAN CTfString::m_Find(ULONG* pulPosition, const CTfString& Pattern, CHAR chStop)
{
    CTfRoutineLog Log("CTfString::m_Find");
    if (pulPosition == NULL || *pulPosition == 0 || Pattern.m_UnicodeString.Length == 0) {
        Log.m_Fail("bad position or empty pattern");
        return FALSE;
    }
    const WCHAR* pPattern = Pattern.m_UnicodeString.Buffer;
    ULONGLONG cchPattern = Pattern.m_UnicodeString.Length / sizeof(WCHAR);
    WCHAR wcStop = (WCHAR)(UCHAR)chStop;
    if (wcStop != 0) {
        for (ULONGLONG ull = 0; ull < cchPattern; ull++) {
            if (pPattern[ull] == wcStop) {
                Log.m_Fail("pattern holds the stop character");
                return FALSE;
            }
        }
    }

    ULONGLONG cchText = m_UnicodeString.Length / sizeof(WCHAR);
    for (ULONGLONG ull = *pulPosition; ull + cchPattern - 1 <= cchText; ull++) {
        const WCHAR* pText = m_UnicodeString.Buffer + (ull - 1);
        if (wcStop != 0 && *pText == wcStop) {
            Log.m_Fail("stop character");
            return FALSE;
        }
        if (*pText == pPattern[0] &&
            RtlCompareMemory(pText, pPattern, Pattern.m_UnicodeString.Length) == Pattern.m_UnicodeString.Length) {
            *pulPosition = (ULONG)ull;
            Log.m_Success();
            return TRUE;
        }
    }
    Log.m_Fail("not found");
    return FALSE;
}

// Removes characters in place; the ANSI copy is rebuilt into its own buffer, which is large enough
// for the longer text.
BOOLEAN CTfString::m_RemoveChars(ULONG ulPosition, ULONG ulCount)
{
    CTfRoutineLog Log("CTfString::m_RemoveChars");

    ULONG cch = m_UnicodeString.Length / sizeof(WCHAR);
    if (ulPosition == 0 || ulCount == 0 || (ULONGLONG)ulPosition + ulCount - 1 > cch) {
        Log.m_Fail("outside the text");
        return FALSE;
    }
    if (ulCount == cch) {
        m_Free();
        Log.m_Success();
        return TRUE;
    }

    PWCH pText = m_UnicodeString.Buffer;
    ULONG cchTail = cch - (ulPosition - 1 + ulCount);
    RtlMoveMemory(pText + ulPosition - 1, pText + ulPosition - 1 + ulCount, cchTail * sizeof(WCHAR));
    cch -= ulCount;
    pText[cch] = 0;
    m_UnicodeString.Length = (USHORT)(cch * sizeof(WCHAR));

    NTSTATUS Status = m_RefreshAnsi();
    Log.m_Result(Status);
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

// After an edit of the wide text in place: the ANSI copy in its buffer, and the number.
NTSTATUS CTfString::m_RefreshAnsi()
{
    CTfRoutineLog Log("CTfString::m_RefreshAnsi");
    m_AnsiString.Length = 0;
    NTSTATUS Status = RtlUnicodeStringToAnsiString(&m_AnsiString, &m_UnicodeString, FALSE);
    if (!NT_SUCCESS(Status)) {
        // Cannot happen with a buffer sized for the wide text; never keep a copy out of step.
        TF_ASSERT_AT();
        m_Free();
        m_Status = STATUS_NO_MEMORY;
        Log.m_Result(STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    m_AnsiString.Buffer[m_AnsiString.Length] = 0;
    m_ReadNumber();
    m_Status = STATUS_SUCCESS;
    Log.m_Result(STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

BOOLEAN CTfString::m_DeleteChar(ULONG ulPosition)
{
    CTfRoutineLog Log("CTfString::m_DeleteChar");
    BOOLEAN bDone = m_RemoveChars(ulPosition, 1);
    if (bDone) {
        Log.m_Success();
    } else {
        Log.m_Fail("no such position");
    }
    return bDone;
}

BOOLEAN CTfString::m_Delete(ULONG ulPosition, ULONG ulCount)
{
    CTfRoutineLog Log("CTfString::m_Delete");
    BOOLEAN bDone = m_RemoveChars(ulPosition, ulCount);
    if (bDone) {
        Log.m_Success();
    } else {
        Log.m_Fail("no such range");
    }
    return bDone;
}

NTSTATUS CTfString::m_ToUpper()
{
    CTfRoutineLog Log("CTfString::m_ToUpper");
    if (m_UnicodeString.Buffer == NULL) {
        m_Status = STATUS_SUCCESS;
        Log.m_Result(STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    ULONG cch = m_UnicodeString.Length / sizeof(WCHAR);
    for (ULONG ul = 0; ul < cch; ul++) {
        WCHAR wc = m_UnicodeString.Buffer[ul];
        if (wc >= u'a' && wc <= u'z') {
            m_UnicodeString.Buffer[ul] = (WCHAR)(wc - u'a' + u'A');
        }
    }
    NTSTATUS Status = m_RefreshAnsi();
    Log.m_Result(Status);
    return Status;
}

// ---------------------------------------------------------------------------------------------
// Copies for callers
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfString::m_CopyToNewBuffer(PWSTR* ppBuffer, ULONG cbExtra)
{
    CTfRoutineLog Log("CTfString::m_CopyToNewBuffer");
    if (ppBuffer == NULL) {
        m_Status = STATUS_INVALID_PARAMETER;
        Log.m_Result(m_Status);
        return m_Status;
    }
    *ppBuffer = NULL;
    if (m_UnicodeString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Result(m_Status);
        return m_Status;
    }
    SIZE_T cbBuffer = (SIZE_T)m_UnicodeString.Length + cbExtra + sizeof(WCHAR);
    PWSTR pBuffer = (PWSTR)ExAllocatePoolWithTag(m_PoolType, cbBuffer, TF_TAG_COPY);
    if (pBuffer == NULL) {
        m_Status = STATUS_NO_MEMORY;
        Log.m_Result(m_Status);
        return m_Status;
    }
    RtlZeroMemory(pBuffer, cbBuffer);
    RtlCopyMemory(pBuffer, m_UnicodeString.Buffer, m_UnicodeString.Length + sizeof(WCHAR));
    *ppBuffer = pBuffer;
    m_Status = STATUS_SUCCESS;
    Log.m_Result(m_Status);
    return m_Status;
}

NTSTATUS CTfString::m_Duplicate(PWSTR* ppBuffer)
{
    CTfRoutineLog Log("CTfString::m_Duplicate");
    NTSTATUS Status = m_CopyToNewBuffer(ppBuffer, 0);
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_DuplicateWithRoom(PWSTR* ppBuffer)
{
    CTfRoutineLog Log("CTfString::m_DuplicateWithRoom");
    NTSTATUS Status = m_CopyToNewBuffer(ppBuffer, sizeof(WCHAR));
    Log.m_Result(Status);
    return Status;
}

NTSTATUS CTfString::m_CopyToNewAnsiBuffer(PCHAR* ppBuffer, ULONG cbExtra)
{
    CTfRoutineLog Log("CTfString::m_CopyToNewAnsiBuffer");
    if (ppBuffer == NULL) {
        m_Status = STATUS_INVALID_PARAMETER;
        Log.m_Result(m_Status);
        return m_Status;
    }
    *ppBuffer = NULL;
    if (m_AnsiString.Buffer == NULL) {
        m_Status = STATUS_NOT_FOUND;
        Log.m_Result(m_Status);
        return m_Status;
    }
    SIZE_T cbBuffer = (SIZE_T)m_AnsiString.Length + cbExtra + 1;
    PCHAR pBuffer = (PCHAR)ExAllocatePoolWithTag(m_PoolType, cbBuffer, TF_TAG_COPY);
    if (pBuffer == NULL) {
        m_Status = STATUS_NO_MEMORY;
        Log.m_Result(m_Status);
        return m_Status;
    }
    RtlZeroMemory(pBuffer, cbBuffer);
    RtlCopyMemory(pBuffer, m_AnsiString.Buffer, m_AnsiString.Length + 1);
    *ppBuffer = pBuffer;
    m_Status = STATUS_SUCCESS;
    Log.m_Result(m_Status);
    return m_Status;
}

NTSTATUS CTfString::m_DuplicateAnsi(PCHAR* ppBuffer)
{
    CTfRoutineLog Log("CTfString::m_DuplicateAnsi");
    NTSTATUS Status = m_CopyToNewAnsiBuffer(ppBuffer, 0);
    Log.m_Result(Status);
    return Status;
}
