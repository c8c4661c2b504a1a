// Serialised form of an information set, as exchanged between the drivers and the property pages.
//
// All integers are little-endian. A set is: [header], then every item in list order with nothing
// between them. A number is [type 2] + 4 bytes; a string is [type 3 or 4] + [4-byte byte count] +
// text + [terminator]. Which bracketed parts are present is chosen by the flags below; both ends
// must use the same flags and hold the same items, since nothing on the wire names an item.
#pragma once

#include "tfstring.h"

// Flag bits choosing the form.
#define TF_SERIALISE_TERMINATOR 0x01  // strings end with a zero character
#define TF_SERIALISE_LENGTH 0x02      // strings begin with their byte count (4 bytes)
#define TF_SERIALISE_UNICODE 0x04     // strings are UTF-16LE, else single-byte text
#define TF_SERIALISE_TYPE_TAGS 0x08   // every field begins with a type byte
#define TF_SERIALISE_HEADER 0x10      // the data begins with the set identifier
#define TF_SERIALISE_FLAGS_LIMIT 0x20 // every valid flags value is below this
#define TF_SERIALISE_DEFAULT_FLAGS (TF_SERIALISE_TERMINATOR | TF_SERIALISE_LENGTH)

// Type bytes.
#define TF_SERIALISE_TAG_HEADER 0
#define TF_SERIALISE_TAG_DWORD 2
#define TF_SERIALISE_TAG_ANSI 3
#define TF_SERIALISE_TAG_UNICODE 4

// Longest text a reader takes, in bytes without terminator: what a counted string can hold.
#define TF_SERIALISE_MAX_ANSI_TEXT 0x7FFE
#define TF_SERIALISE_MAX_UNICODE_TEXT 0xFFFC

class CTfSerialisationBase {
public:
    CTfSerialisationBase() {}
    virtual ~CTfSerialisationBase() {}
};

// Holds the form in force and writes or reads one field at a time. Every Write and Read operation
// takes the cursor and the bytes remaining behind it and advances both past the field.
class CTfSerialisation : public CTfSerialisationBase {
public:
    CTfSerialisation();
    virtual ~CTfSerialisation();

    // TRUE and the flags stored when valid (below 32, bit 0 or 1 set); else FALSE, flags unchanged.
    BOOLEAN SetFlags(ULONG ulFlags);
    ULONG GetFlags() const { return m_ulFlags; }
    void SetSetIdentifier(ULONG ulSetIdentifier) { m_ulSetIdentifier = ulSetIdentifier; }
    ULONG GetSetIdentifier() const { return m_ulSetIdentifier; }

    // Bytes each field takes under the flags in force.
    ULONG GetHeaderSize() const;
    ULONG GetDwordSize() const;
    ULONG GetStringSize(CTfString* pString);

    // TRUE when the field fitted and was written; FALSE, with nothing written, when it did not.
    BOOLEAN WriteHeader(PUCHAR* ppucCursor, PULONG pulRemaining);
    BOOLEAN WriteDword(PUCHAR* ppucCursor, PULONG pulRemaining, ULONG ulValue);
    BOOLEAN WriteString(PUCHAR* ppucCursor, PULONG pulRemaining, CTfString* pString);

    // TRUE when the field was read (into the target); FALSE with an assertion report for short or
    // malformed data. A failed read leaves the target unchanged unless the assignment itself failed.
    BOOLEAN CheckHeader(PUCHAR* ppucCursor, PULONG pulRemaining);
    BOOLEAN ReadDword(PUCHAR* ppucCursor, PULONG pulRemaining, PULONG pulValue);
    BOOLEAN ReadString(PUCHAR* ppucCursor, PULONG pulRemaining, CTfString* pString);

    // One type byte / one 4-byte length; FALSE (no report) when the bytes are not there.
    BOOLEAN ReadTypeTag(PUCHAR* ppucCursor, PULONG pulRemaining, PUCHAR pucTag);
    BOOLEAN ReadLength(PUCHAR* ppucCursor, PULONG pulRemaining, PULONG pulLength);

private:
    BOOLEAN m_ExpectTypeTag(PUCHAR* ppucCursor, PULONG pulRemaining, UCHAR ucExpected);
    static void sm_PutUlong(PUCHAR puc, ULONG ulValue);
    static ULONG sm_GetUlong(const UCHAR* puc);

    ULONG m_ulFlags;
    ULONG m_ulSetIdentifier;
};
