// Counted string of the kernel code: UTF-16 text with an ANSI copy kept in step, and the text read
// as a hexadecimal number. Operations leave their outcome in the status (m_GetStatus) rather than
// failing a constructor or an assignment.
//
// The empty string has no buffers; its buffer getters return null with STATUS_NOT_FOUND.
// Positions are 1-based character positions.
#pragma once

#include <wdm.h>

#include "tfobject.h"

// Longest text a string holds: the terminator must fit a 16-bit maximum length.
#define TF_STRING_MAX_CHARS 32766

// Source kinds of CTfString::m_Concatenate.
#define TF_CONCAT_NUMBER 1          // ulNumber in ulRadix (10: decimal, otherwise hexadecimal)
#define TF_CONCAT_ANSI 2            // const CHAR*, zero-terminated
#define TF_CONCAT_ANSI_STRING 3     // PCANSI_STRING
#define TF_CONCAT_WIDE 4            // const WCHAR*, zero-terminated
#define TF_CONCAT_UNICODE_STRING 5  // PCUNICODE_STRING
#define TF_CONCAT_STRING 6          // const CTfString*

class CTfString : public CTfObjectBase {
public:
    explicit CTfString(POOL_TYPE PoolType = PagedPool);
    CTfString(POOL_TYPE PoolType, const CHAR* pszText);
    CTfString(POOL_TYPE PoolType, const WCHAR* pszText);
    CTfString(const CTfString& Source);
    virtual ~CTfString();

    // m_Assign; the status tells the outcome.
    CTfString& operator=(const CTfString& Source);

    // Frees both buffers and resets the fields (the empty string, status 0).
    void m_Free();

    // Assignment: the old text is freed first; the result is also left in the status.
    NTSTATUS m_AssignAnsi(const CHAR* pszText);
    NTSTATUS m_AssignAnsi(PCANSI_STRING pAnsi);
    NTSTATUS m_AssignWide(const WCHAR* pszText);
    NTSTATUS m_AssignUnicodeString(PCUNICODE_STRING pString);
    NTSTATUS m_Assign(const CTfString& Source);
    NTSTATUS m_AssignGuid(const GUID& Guid);
    NTSTATUS m_AssignNumber(ULONG ulValue, ULONG ulRadix);
    void m_Clear();
    // The first cbCount bytes of a buffer that holds at least that many readable bytes (it need not
    // be terminated). FALSE for a count of 0 or no text; the wide form needs an even count.
    BOOLEAN m_AssignLeft(const CHAR* pText, ULONG cbCount);
    BOOLEAN m_AssignLeft(const WCHAR* pText, ULONG cbCount);

    // Append (bFront FALSE) or prepend (TRUE) a source of one of the TF_CONCAT_* kinds. A null
    // source changes nothing. On failure the text is unchanged and the status holds the failure.
    NTSTATUS m_Concatenate(ULONG ulKind, const void* pSource, ULONG ulNumber, ULONG ulRadix,
                           BOOLEAN bFront);
    NTSTATUS m_AppendNumber(ULONG ulValue, ULONG ulRadix);
    NTSTATUS m_AppendAnsi(const CHAR* pszText);
    NTSTATUS m_AppendAnsi(CHAR chCharacter);
    NTSTATUS m_PrependAnsi(const CHAR* pszText);
    NTSTATUS m_AppendWide(const WCHAR* pszText);
    NTSTATUS m_AppendWide(WCHAR wcCharacter);
    NTSTATUS m_PrependWide(const WCHAR* pszText);
    NTSTATUS m_Append(const CTfString& Source);

    // Queries.
    NTSTATUS m_GetStatus() const { return m_Status; }
    BOOLEAN m_IsEmpty() const { return m_UnicodeString.Buffer == NULL; }
    USHORT m_GetLength();      // wide length in bytes (no terminator); clears the status
    USHORT m_GetAnsiLength();  // ANSI length in bytes (no terminator)
    // Null with STATUS_NOT_FOUND when the string is empty; otherwise the status is cleared.
    PUNICODE_STRING m_GetUnicodeString();
    PANSI_STRING m_GetAnsiString();
    PWSTR m_GetWideBuffer();
    PCHAR m_GetAnsiBuffer();
    POOL_TYPE m_GetPoolType() const { return m_PoolType; }
    // Case-sensitive; null equals only the empty string. Clears the status.
    BOOLEAN m_IsEqual(PCUNICODE_STRING pString);
    BOOLEAN m_IsEqual(const CTfString& Other);
    // The text read as a hexadecimal number, and whether all of it was one.
    LONG m_GetNumber() const { return m_lNumber; }
    BOOLEAN m_IsNumberValid() const { return m_bNumberValid; }
    // Character at a 1-based position of the ANSI copy; FALSE for 0 or beyond the length.
    BOOLEAN m_GetCharAt(ULONG ulPosition, CHAR* pchCharacter);

    // Searching, from *pulPosition onward; TRUE leaves *pulPosition at the match.
    BOOLEAN m_FindChar(ULONG* pulPosition, CHAR chCharacter);
    // A text character equal to chStop (when not 0) ends the search; a pattern holding chStop
    // fails at once.
    BOOLEAN m_Find(ULONG* pulPosition, const CTfString& Pattern, CHAR chStop);

    // Editing.
    BOOLEAN m_DeleteChar(ULONG ulPosition);
    BOOLEAN m_Delete(ULONG ulPosition, ULONG ulCount);
    NTSTATUS m_ToUpper();  // a to z only

    // Copies for callers: plain pool blocks ("TfOC", zero-filled) that the caller frees with
    // ExFreePool. An empty string gives null and STATUS_NOT_FOUND.
    NTSTATUS m_CopyToNewBuffer(PWSTR* ppBuffer, ULONG cbExtra);
    NTSTATUS m_Duplicate(PWSTR* ppBuffer);
    NTSTATUS m_DuplicateWithRoom(PWSTR* ppBuffer);  // room for one more character
    NTSTATUS m_CopyToNewAnsiBuffer(PCHAR* ppBuffer, ULONG cbExtra);
    NTSTATUS m_DuplicateAnsi(PCHAR* ppBuffer);

private:
    NTSTATUS m_BuildAnsi(PCUNICODE_STRING pWide, PANSI_STRING pAnsi);
    NTSTATUS m_BuildWide(const WCHAR* pFirst, SIZE_T cchFirst, const WCHAR* pSecond, SIZE_T cchSecond,
                         PUNICODE_STRING pWide, PANSI_STRING pAnsi);
    void m_Install(PUNICODE_STRING pWide, PANSI_STRING pAnsi);
    NTSTATUS m_SetWide(const WCHAR* pText, SIZE_T cch);
    NTSTATUS m_SetAnsi(const CHAR* pText, SIZE_T cb);
    void m_ReadNumber();
    BOOLEAN m_RemoveChars(ULONG ulPosition, ULONG ulCount);
    NTSTATUS m_RefreshAnsi();

    NTSTATUS m_Status;
    UNICODE_STRING m_UnicodeString;
    ANSI_STRING m_AnsiString;
    POOL_TYPE m_PoolType;
    LONG m_lNumber;
    BOOLEAN m_bNumberValid;
};
