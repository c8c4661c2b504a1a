// The user-mode twin of the drivers' serialisation: the form flags and the writing and reading of
// one field at a time, byte for byte the drivers' wire format in every form. The twins live in
// their own namespace so that one process may hold them beside the drivers' classes.
#pragma once

#include <windows.h>

#include <atlstr.h>

namespace CvUser {

const ULONG SERIALISE_TERMINATOR = 0x01;  // strings end with a zero character
const ULONG SERIALISE_LENGTH = 0x02;      // strings begin with their byte count (4 bytes)
const ULONG SERIALISE_UNICODE = 0x04;     // strings are UTF-16LE, else ANSI text
const ULONG SERIALISE_TYPE_TAGS = 0x08;   // every field begins with a type byte
const ULONG SERIALISE_HEADER = 0x10;      // the data begins with the set identifier
const ULONG SERIALISE_FLAGS_LIMIT = 0x20;
const ULONG SERIALISE_DEFAULT_FLAGS = SERIALISE_TERMINATOR | SERIALISE_LENGTH;

const BYTE SERIALISE_TAG_HEADER = 0;
const BYTE SERIALISE_TAG_DWORD = 2;
const BYTE SERIALISE_TAG_ANSI = 3;
const BYTE SERIALISE_TAG_UNICODE = 4;

class CTfSerialisationBase {
public:
    virtual ~CTfSerialisationBase() {}
};

class CTfSerialisation : public CTfSerialisationBase {
public:
    virtual ~CTfSerialisation() {}

    static BOOL IsValidFlags(ULONG ulFlags);
    // TRUE and the flags stored when valid; a refused value is not taken.
    BOOL SetFlags(ULONG ulFlags);
    ULONG GetFlags() const { return m_ulFlags; }
    void SetSetIdentifier(ULONG ulSetIdentifier) { m_ulSetIdentifier = ulSetIdentifier; }
    ULONG GetSetIdentifier() const { return m_ulSetIdentifier; }

    ULONG GetHeaderSize() const;
    ULONG GetDwordSize() const;
    // Bytes the string takes, measured on its converted text; 0 when it cannot be converted.
    ULONG GetStringSize(const CString& strValue) const;

    // TRUE when the field fitted and was written; FALSE, with nothing written, when it did not.
    BOOL WriteHeader(BYTE*& pbCursor, ULONG& ulRemaining);
    BOOL WriteDword(BYTE*& pbCursor, ULONG& ulRemaining, DWORD dwValue);
    BOOL WriteString(BYTE*& pbCursor, ULONG& ulRemaining, const CString& strValue);
    // TRUE when the field was read into the target; FALSE for short or malformed data.
    BOOL CheckHeader(const BYTE*& pbCursor, ULONG& ulRemaining);
    BOOL ReadDword(const BYTE*& pbCursor, ULONG& ulRemaining, DWORD& dwValue);
    BOOL ReadString(const BYTE*& pbCursor, ULONG& ulRemaining, CString& strValue);

private:
    // The text as it goes on the wire (ANSI bytes or UTF-16LE bytes), without terminator.
    BOOL EncodeText(const CString& strValue, std::string& Bytes) const;
    BOOL DecodeText(const BYTE* pbText, ULONG ulBytes, CString& strValue) const;
    BOOL ExpectTag(const BYTE*& pbCursor, ULONG& ulRemaining, BYTE bTag) const;
    ULONG TerminatorSize() const;

    ULONG m_ulFlags = SERIALISE_DEFAULT_FLAGS;
    ULONG m_ulSetIdentifier = 0;
};

}  // namespace CvUser
