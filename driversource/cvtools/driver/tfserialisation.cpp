// Fields of the serialised information set.
//
// The reader never trusts the data: every length is checked against the bytes that remain and
// against what a counted string can hold, and a string only counts as read when the target took it.
#include "tfserialisation.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfSerialisation::CTfSerialisation() : m_ulFlags(TF_SERIALISE_DEFAULT_FLAGS), m_ulSetIdentifier(0)
{
    CTfRoutineLog Log("CTfSerialisation::CTfSerialisation");
    Log.m_Success();
}

CTfSerialisation::~CTfSerialisation()
{
    CTfRoutineLog Log("CTfSerialisation::~CTfSerialisation");
    Log.m_Success();
}

void CTfSerialisation::sm_PutUlong(PUCHAR puc, ULONG ulValue)
{
    puc[0] = (UCHAR)ulValue;
    puc[1] = (UCHAR)(ulValue >> 8);
    puc[2] = (UCHAR)(ulValue >> 16);
    puc[3] = (UCHAR)(ulValue >> 24);
}

ULONG CTfSerialisation::sm_GetUlong(const UCHAR* puc)
{
    return (ULONG)puc[0] | ((ULONG)puc[1] << 8) | ((ULONG)puc[2] << 16) | ((ULONG)puc[3] << 24);
}

BOOLEAN CTfSerialisation::SetFlags(ULONG ulFlags)
{
    CTfRoutineLog Log("CTfSerialisation::SetFlags");
    if (ulFlags >= TF_SERIALISE_FLAGS_LIMIT ||
        (ulFlags & (TF_SERIALISE_TERMINATOR | TF_SERIALISE_LENGTH)) == 0) {
        TF_ASSERT_AT();
        Log.m_Fail("flags 0x%x refused", ulFlags);
        return FALSE;
    }
    m_ulFlags = ulFlags;
    Log.m_Success();
    return TRUE;
}

ULONG CTfSerialisation::GetHeaderSize() const
{
    return ((m_ulFlags & TF_SERIALISE_TYPE_TAGS) ? 1 : 0) + sizeof(ULONG);
}

ULONG CTfSerialisation::GetDwordSize() const
{
    return ((m_ulFlags & TF_SERIALISE_TYPE_TAGS) ? 1 : 0) + sizeof(ULONG);
}

ULONG CTfSerialisation::GetStringSize(CTfString* pString)
{
    CTfRoutineLog Log("CTfSerialisation::GetStringSize");
    ULONG ulSize = 0;
    BOOLEAN bUnicode = (m_ulFlags & TF_SERIALISE_UNICODE) != 0;

    if (pString != NULL && !pString->m_IsEmpty())
        ulSize = bUnicode ? pString->m_GetLength() : pString->m_GetAnsiLength();
    if (m_ulFlags & TF_SERIALISE_TERMINATOR) ulSize += bUnicode ? sizeof(WCHAR) : sizeof(CHAR);
    if (m_ulFlags & TF_SERIALISE_LENGTH) ulSize += sizeof(ULONG);
    if (m_ulFlags & TF_SERIALISE_TYPE_TAGS) ulSize += 1;
    Log.m_Success();
    return ulSize;
}

BOOLEAN CTfSerialisation::WriteHeader(PUCHAR* ppucCursor, PULONG pulRemaining)
{
    CTfRoutineLog Log("CTfSerialisation::WriteHeader");
    ULONG ulSize = GetHeaderSize();
    if (*pulRemaining < ulSize) {
        Log.m_Fail("no room");
        return FALSE;
    }
    PUCHAR puc = *ppucCursor;
    if (m_ulFlags & TF_SERIALISE_TYPE_TAGS) *puc++ = TF_SERIALISE_TAG_HEADER;
    sm_PutUlong(puc, m_ulSetIdentifier);
    *ppucCursor += ulSize;
    *pulRemaining -= ulSize;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::WriteDword(PUCHAR* ppucCursor, PULONG pulRemaining, ULONG ulValue)
{
    CTfRoutineLog Log("CTfSerialisation::WriteDword");
    ULONG ulSize = GetDwordSize();
    if (*pulRemaining < ulSize) {
        Log.m_Fail("no room");
        return FALSE;
    }
    PUCHAR puc = *ppucCursor;
    if (m_ulFlags & TF_SERIALISE_TYPE_TAGS) *puc++ = TF_SERIALISE_TAG_DWORD;
    sm_PutUlong(puc, ulValue);
    *ppucCursor += ulSize;
    *pulRemaining -= ulSize;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::WriteString(PUCHAR* ppucCursor, PULONG pulRemaining, CTfString* pString)
{
    CTfRoutineLog Log("CTfSerialisation::WriteString");
    if (pString == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no string");
        return FALSE;
    }
    BOOLEAN bUnicode = (m_ulFlags & TF_SERIALISE_UNICODE) != 0;

    // The getters of an empty string would set its status; an empty text needs no bytes.
    ULONG cbText = 0;
    const void* pText = NULL;
    if (!pString->m_IsEmpty()) {
        if (bUnicode) {
            cbText = pString->m_GetLength();
            pText = pString->m_GetWideBuffer();
        } else {
            cbText = pString->m_GetAnsiLength();
            pText = pString->m_GetAnsiBuffer();
        }
        if (pText == NULL) cbText = 0;
    }
    ULONG ulSize = cbText;
    if (m_ulFlags & TF_SERIALISE_TERMINATOR) ulSize += bUnicode ? sizeof(WCHAR) : sizeof(CHAR);
    if (m_ulFlags & TF_SERIALISE_LENGTH) ulSize += sizeof(ULONG);
    if (m_ulFlags & TF_SERIALISE_TYPE_TAGS) ulSize += 1;
    if (*pulRemaining < ulSize) {
        Log.m_Fail("no room");
        return FALSE;
    }

    PUCHAR puc = *ppucCursor;
    if (m_ulFlags & TF_SERIALISE_TYPE_TAGS) *puc++ = bUnicode ? TF_SERIALISE_TAG_UNICODE : TF_SERIALISE_TAG_ANSI;
    if (m_ulFlags & TF_SERIALISE_LENGTH) {
        sm_PutUlong(puc, cbText);
        puc += sizeof(ULONG);
    }
    if (cbText != 0) {
        RtlCopyMemory(puc, pText, cbText);
        puc += cbText;
    }
    if (m_ulFlags & TF_SERIALISE_TERMINATOR) {
        *puc++ = 0;
        if (bUnicode) *puc++ = 0;
    }
    *ppucCursor += ulSize;
    *pulRemaining -= ulSize;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::ReadTypeTag(PUCHAR* ppucCursor, PULONG pulRemaining, PUCHAR pucTag)
{
    CTfRoutineLog Log("CTfSerialisation::ReadTypeTag");
    if (*pulRemaining < 1) {
        Log.m_Fail("no data");
        return FALSE;
    }
    *pucTag = **ppucCursor;
    *ppucCursor += 1;
    *pulRemaining -= 1;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::ReadLength(PUCHAR* ppucCursor, PULONG pulRemaining, PULONG pulLength)
{
    CTfRoutineLog Log("CTfSerialisation::ReadLength");
    if (*pulRemaining < sizeof(ULONG)) {
        Log.m_Fail("no data");
        return FALSE;
    }
    *pulLength = sm_GetUlong(*ppucCursor);
    *ppucCursor += sizeof(ULONG);
    *pulRemaining -= sizeof(ULONG);
    Log.m_Success();
    return TRUE;
}

// Reads the type byte of a field when the form has them; FALSE with the report when it is missing
// or names another type.
BOOLEAN CTfSerialisation::m_ExpectTypeTag(PUCHAR* ppucCursor, PULONG pulRemaining, UCHAR ucExpected)
{
    CTfRoutineLog Log("CTfSerialisation::m_ExpectTypeTag");
    if ((m_ulFlags & TF_SERIALISE_TYPE_TAGS) == 0) {
        Log.m_Success();
        return TRUE;
    }
    UCHAR ucTag = 0;
    if (!ReadTypeTag(ppucCursor, pulRemaining, &ucTag)) {
        TF_ASSERT_AT();
        Log.m_Fail("no type byte");
        return FALSE;
    }
    if (ucTag != ucExpected) {
        TF_ASSERT_AT();
        Log.m_Fail("type %u, expected %u", ucTag, ucExpected);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::CheckHeader(PUCHAR* ppucCursor, PULONG pulRemaining)
{
    CTfRoutineLog Log("CTfSerialisation::CheckHeader");
    if (!m_ExpectTypeTag(ppucCursor, pulRemaining, TF_SERIALISE_TAG_HEADER)) {
        Log.m_Fail("type byte");
        return FALSE;
    }
    ULONG ulIdentifier = 0;
    if (!ReadLength(ppucCursor, pulRemaining, &ulIdentifier)) {
        TF_ASSERT_AT();
        Log.m_Fail("header cut short");
        return FALSE;
    }
    if (ulIdentifier != m_ulSetIdentifier) {
        TF_ASSERT_AT();
        Log.m_Fail("set %u, expected %u", ulIdentifier, m_ulSetIdentifier);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfSerialisation::ReadDword(PUCHAR* ppucCursor, PULONG pulRemaining, PULONG pulValue)
{
    CTfRoutineLog Log("CTfSerialisation::ReadDword");
    if (!m_ExpectTypeTag(ppucCursor, pulRemaining, TF_SERIALISE_TAG_DWORD)) {
        Log.m_Fail("type byte");
        return FALSE;
    }
    ULONG ulValue = 0;
    if (!ReadLength(ppucCursor, pulRemaining, &ulValue)) {
        TF_ASSERT_AT();
        Log.m_Fail("number cut short");
        return FALSE;
    }
    *pulValue = ulValue;
    Log.m_Success();
    return TRUE;
}

// A counted text's length must lie within the data and a string's maximum, in whole characters.
static BOOLEAN TfCheckTextLength(ULONG cbLength, ULONG ulRemaining, ULONG cbMaximum, ULONG cbCharacter,
                                 const CTfRoutineLog& Log)
{
    if (cbLength > ulRemaining) {
        TF_ASSERT_AT();
        Log.m_Fail("length %u beyond the data", cbLength);
        return FALSE;
    }
    if (cbLength > cbMaximum) {
        TF_ASSERT_AT();
        Log.m_Fail("length %u too long", cbLength);
        return FALSE;
    }
    if (cbLength % cbCharacter != 0) {
        TF_ASSERT_AT();
        Log.m_Fail("odd length %u", cbLength);
        return FALSE;
    }
    return TRUE;
}

// The length of a terminated text at puc (*pcbText, terminator not counted). UTF-16 terminators
// count only on character boundaries. A text longer than a string can hold is refused without
// scanning the rest of the data.
static BOOLEAN TfFindTerminator(const UCHAR* puc, ULONG ulRemaining, ULONG cbMaximum, ULONG cbCharacter,
                                PULONG pcbText, const CTfRoutineLog& Log)
{
    BOOLEAN bUnicode = cbCharacter == sizeof(WCHAR);
    ULONG cbScan = ulRemaining;
    if (cbScan > cbMaximum + cbCharacter) cbScan = cbMaximum + cbCharacter;
    for (ULONG ulOffset = 0; ulOffset + cbCharacter <= cbScan; ulOffset += cbCharacter) {
        if (puc[ulOffset] == 0 && (!bUnicode || puc[ulOffset + 1] == 0)) {
            *pcbText = ulOffset;
            if (ulOffset > cbMaximum) {
                TF_ASSERT_AT();
                Log.m_Fail("text %u too long", ulOffset);
                return FALSE;
            }
            return TRUE;
        }
    }
    TF_ASSERT_AT();
    Log.m_Fail("no terminator");
    return FALSE;
}

// Gives the string the cbText bytes of text at puc (none: an empty string).
static BOOLEAN TfAssignText(CTfString* pString, const UCHAR* puc, ULONG cbText, BOOLEAN bUnicode,
                            const CTfRoutineLog& Log)
{
    if (cbText == 0) {
        pString->m_Clear();
    } else if (bUnicode) {
        // The text may lie at any byte offset; give the string an aligned copy.
        PWCH pwcText = (PWCH)AllocateTrackedPool(NonPagedPool, cbText + sizeof(WCHAR));
        if (pwcText == NULL) {
            Log.m_Fail("no memory");
            return FALSE;
        }
        RtlCopyMemory(pwcText, puc, cbText);
        pwcText[cbText / sizeof(WCHAR)] = 0;
        UNICODE_STRING Text;
        Text.Length = (USHORT)cbText;
        Text.MaximumLength = (USHORT)(cbText + sizeof(WCHAR));
        Text.Buffer = pwcText;
        pString->m_AssignUnicodeString(&Text);
        FreeTrackedPool(pwcText);
    } else {
        ANSI_STRING Text;
        Text.Length = (USHORT)cbText;
        Text.MaximumLength = (USHORT)cbText;
        Text.Buffer = (PCHAR)puc;
        pString->m_AssignAnsi(&Text);
    }
    if (pString->m_GetStatus() != STATUS_SUCCESS) {
        TF_ASSERT_AT();
        Log.m_Fail("string not taken (0x%08x)", (ULONG)pString->m_GetStatus());
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CTfSerialisation::ReadString(PUCHAR* ppucCursor, PULONG pulRemaining, CTfString* pString)
{
    CTfRoutineLog Log("CTfSerialisation::ReadString");
    if (pString == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no target");
        return FALSE;
    }
    BOOLEAN bUnicode = (m_ulFlags & TF_SERIALISE_UNICODE) != 0;
    BOOLEAN bTerminated = (m_ulFlags & TF_SERIALISE_TERMINATOR) != 0;
    BOOLEAN bCounted = (m_ulFlags & TF_SERIALISE_LENGTH) != 0;
    ULONG cbCharacter = bUnicode ? sizeof(WCHAR) : sizeof(CHAR);
    ULONG cbMaximum = bUnicode ? TF_SERIALISE_MAX_UNICODE_TEXT : TF_SERIALISE_MAX_ANSI_TEXT;

    // Work on local copies: the caller's cursor moves only past a string that was read.
    PUCHAR puc = *ppucCursor;
    ULONG ulRemaining = *pulRemaining;

    if (!m_ExpectTypeTag(&puc, &ulRemaining, bUnicode ? TF_SERIALISE_TAG_UNICODE : TF_SERIALISE_TAG_ANSI)) {
        Log.m_Fail("type byte");
        return FALSE;
    }

    ULONG cbLength = 0;
    if (bCounted) {
        if (!ReadLength(&puc, &ulRemaining, &cbLength)) {
            TF_ASSERT_AT();
            Log.m_Fail("length cut short");
            return FALSE;
        }
        if (!TfCheckTextLength(cbLength, ulRemaining, cbMaximum, cbCharacter, Log)) {
            return FALSE;
        }
    }

    ULONG cbText = cbLength;
    ULONG cbConsumed = cbLength;
    if (bTerminated) {
        if (!TfFindTerminator(puc, ulRemaining, cbMaximum, cbCharacter, &cbText, Log)) {
            return FALSE;
        }
        if (bCounted && cbText != cbLength) {
            TF_ASSERT_AT();
            Log.m_Fail("text %u, length %u", cbText, cbLength);
            return FALSE;
        }
        cbConsumed = cbText + cbCharacter;
    }

    if (!TfAssignText(pString, puc, cbText, bUnicode, Log)) {
        return FALSE;
    }
    *ppucCursor = puc + cbConsumed;
    *pulRemaining = ulRemaining - cbConsumed;
    Log.m_Success();
    return TRUE;
}
