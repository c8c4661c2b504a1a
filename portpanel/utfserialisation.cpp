// The serialisation twin. Lengths count bytes (for UTF-16 twice the characters), as the drivers'
// reader demands; ANSI text is converted first and sized by its converted bytes.
#include "utfserialisation.h"

#include <cstring>
#include <string>

namespace CvUser {

namespace {

void PutUlong(BYTE* pb, ULONG ulValue)
{
    for (int i = 0; i < 4; ++i) pb[i] = static_cast<BYTE>(ulValue >> (8 * i));
}

ULONG GetUlong(const BYTE* pb)
{
    return static_cast<ULONG>(pb[0]) | (static_cast<ULONG>(pb[1]) << 8) | (static_cast<ULONG>(pb[2]) << 16) |
           (static_cast<ULONG>(pb[3]) << 24);
}

}  // namespace

BOOL CTfSerialisation::IsValidFlags(ULONG ulFlags)
{
    return ulFlags < SERIALISE_FLAGS_LIMIT && (ulFlags & (SERIALISE_TERMINATOR | SERIALISE_LENGTH)) != 0;
}

BOOL CTfSerialisation::SetFlags(ULONG ulFlags)
{
    if (!IsValidFlags(ulFlags)) return FALSE;
    m_ulFlags = ulFlags;
    return TRUE;
}

ULONG CTfSerialisation::GetHeaderSize() const
{
    if (!(m_ulFlags & SERIALISE_HEADER)) return 0;
    return 4 + ((m_ulFlags & SERIALISE_TYPE_TAGS) ? 1 : 0);
}

ULONG CTfSerialisation::GetDwordSize() const { return 4 + ((m_ulFlags & SERIALISE_TYPE_TAGS) ? 1 : 0); }

ULONG CTfSerialisation::TerminatorSize() const
{
    if (!(m_ulFlags & SERIALISE_TERMINATOR)) return 0;
    return (m_ulFlags & SERIALISE_UNICODE) ? 2 : 1;
}

BOOL CTfSerialisation::EncodeText(const CString& strValue, std::string& Bytes) const
{
    Bytes.clear();
    if (strValue.IsEmpty()) return TRUE;
    if (m_ulFlags & SERIALISE_UNICODE) {
        for (WCHAR ch : strValue.Text()) {
            Bytes.push_back(static_cast<char>(ch & 0xFF));
            Bytes.push_back(static_cast<char>(ch >> 8));
        }
        return TRUE;
    }
    const int nBytes = WideCharToMultiByte(CP_ACP, 0, strValue, strValue.GetLength(), nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) return FALSE;
    Bytes.resize(nBytes);
    return WideCharToMultiByte(CP_ACP, 0, strValue, strValue.GetLength(), Bytes.data(), nBytes, nullptr, nullptr) == nBytes;
}

BOOL CTfSerialisation::DecodeText(const BYTE* pbText, ULONG ulBytes, CString& strValue) const
{
    if (m_ulFlags & SERIALISE_UNICODE) {
        std::u16string Text(ulBytes / 2, u'\0');
        for (ULONG i = 0; i < ulBytes / 2; ++i) Text[i] = static_cast<WCHAR>(pbText[2 * i] | (pbText[2 * i + 1] << 8));
        strValue = CString(Text);
        return TRUE;
    }
    std::u16string Text(ulBytes, u'\0');
    if (ulBytes && MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCSTR>(pbText), static_cast<int>(ulBytes),
                                       Text.data(), static_cast<int>(ulBytes)) != static_cast<int>(ulBytes))
        return FALSE;
    strValue = CString(Text);
    return TRUE;
}

ULONG CTfSerialisation::GetStringSize(const CString& strValue) const
{
    std::string Bytes;
    if (!EncodeText(strValue, Bytes)) return 0;
    return static_cast<ULONG>(Bytes.size()) + TerminatorSize() + ((m_ulFlags & SERIALISE_LENGTH) ? 4 : 0) +
           ((m_ulFlags & SERIALISE_TYPE_TAGS) ? 1 : 0);
}

BOOL CTfSerialisation::WriteHeader(BYTE*& pbCursor, ULONG& ulRemaining)
{
    const ULONG ulSize = GetHeaderSize();
    if (ulSize == 0) return TRUE;
    if (ulRemaining < ulSize) return FALSE;
    if (m_ulFlags & SERIALISE_TYPE_TAGS) *pbCursor++ = SERIALISE_TAG_HEADER;
    PutUlong(pbCursor, m_ulSetIdentifier);
    pbCursor += 4;
    ulRemaining -= ulSize;
    return TRUE;
}

BOOL CTfSerialisation::WriteDword(BYTE*& pbCursor, ULONG& ulRemaining, DWORD dwValue)
{
    const ULONG ulSize = GetDwordSize();
    if (ulRemaining < ulSize) return FALSE;
    if (m_ulFlags & SERIALISE_TYPE_TAGS) *pbCursor++ = SERIALISE_TAG_DWORD;
    PutUlong(pbCursor, dwValue);
    pbCursor += 4;
    ulRemaining -= ulSize;
    return TRUE;
}

BOOL CTfSerialisation::WriteString(BYTE*& pbCursor, ULONG& ulRemaining, const CString& strValue)
{
    std::string Bytes;
    if (!EncodeText(strValue, Bytes)) return FALSE;
    const ULONG ulSize = GetStringSize(strValue);
    if (ulRemaining < ulSize) return FALSE;
    if (m_ulFlags & SERIALISE_TYPE_TAGS)
        *pbCursor++ = (m_ulFlags & SERIALISE_UNICODE) ? SERIALISE_TAG_UNICODE : SERIALISE_TAG_ANSI;
    if (m_ulFlags & SERIALISE_LENGTH) {
        PutUlong(pbCursor, static_cast<ULONG>(Bytes.size()));
        pbCursor += 4;
    }
    std::memcpy(pbCursor, Bytes.data(), Bytes.size());
    pbCursor += Bytes.size();
    std::memset(pbCursor, 0, TerminatorSize());
    pbCursor += TerminatorSize();
    ulRemaining -= ulSize;
    return TRUE;
}

BOOL CTfSerialisation::ExpectTag(const BYTE*& pbCursor, ULONG& ulRemaining, BYTE bTag) const
{
    if (!(m_ulFlags & SERIALISE_TYPE_TAGS)) return TRUE;
    if (ulRemaining < 1 || *pbCursor != bTag) return FALSE;
    ++pbCursor;
    --ulRemaining;
    return TRUE;
}

BOOL CTfSerialisation::CheckHeader(const BYTE*& pbCursor, ULONG& ulRemaining)
{
    if (!(m_ulFlags & SERIALISE_HEADER)) return TRUE;
    if (!ExpectTag(pbCursor, ulRemaining, SERIALISE_TAG_HEADER)) return FALSE;
    if (ulRemaining < 4 || GetUlong(pbCursor) != m_ulSetIdentifier) return FALSE;
    pbCursor += 4;
    ulRemaining -= 4;
    return TRUE;
}

BOOL CTfSerialisation::ReadDword(const BYTE*& pbCursor, ULONG& ulRemaining, DWORD& dwValue)
{
    if (!ExpectTag(pbCursor, ulRemaining, SERIALISE_TAG_DWORD)) return FALSE;
    if (ulRemaining < 4) return FALSE;
    dwValue = GetUlong(pbCursor);
    pbCursor += 4;
    ulRemaining -= 4;
    return TRUE;
}

BOOL CTfSerialisation::ReadString(const BYTE*& pbCursor, ULONG& ulRemaining, CString& strValue)
{
    const bool bUnicode = (m_ulFlags & SERIALISE_UNICODE) != 0;
    if (!ExpectTag(pbCursor, ulRemaining, bUnicode ? SERIALISE_TAG_UNICODE : SERIALISE_TAG_ANSI)) return FALSE;
    ULONG ulLength = 0;
    if (m_ulFlags & SERIALISE_LENGTH) {
        if (ulRemaining < 4) return FALSE;
        ulLength = GetUlong(pbCursor);
        pbCursor += 4;
        ulRemaining -= 4;
        if (ulLength > ulRemaining) return FALSE;
    }
    ULONG ulText = ulLength;
    ULONG ulConsumed = ulLength;
    if (m_ulFlags & SERIALISE_TERMINATOR) {
        // The text runs to its terminator, which must lie within the data.
        const ULONG ulUnit = bUnicode ? 2 : 1;
        ulText = 0;
        while (ulText + ulUnit <= ulRemaining && (pbCursor[ulText] || (bUnicode && pbCursor[ulText + 1]))) ulText += ulUnit;
        if (ulText + ulUnit > ulRemaining) return FALSE;
        if ((m_ulFlags & SERIALISE_LENGTH) && ulText != ulLength) return FALSE;
        ulConsumed = ulText + ulUnit;
    } else if (bUnicode && (ulLength % 2)) {
        return FALSE;
    }
    CString strText;
    if (!DecodeText(pbCursor, ulText, strText)) return FALSE;
    strValue = strText;
    pbCursor += ulConsumed;
    ulRemaining -= ulConsumed;
    return TRUE;
}

}  // namespace CvUser
