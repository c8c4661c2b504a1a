// Run-time library GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <wdm.h>

#include "rtl/rtl_text.h"

namespace {

constexpr size_t kGuidChars = 38;

WCHAR HexDigit(unsigned value) { return static_cast<WCHAR>(value < 10 ? u'0' + value : u'A' + value - 10); }

void PutHex(WCHAR*& out, uint64_t value, int digits)
{
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out++ = HexDigit(static_cast<unsigned>(value >> shift) & 0xF);
}

// Reads exactly `digits` hex digits; false on any other character.
bool GetHex(const WCHAR*& in, int digits, uint64_t& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i) {
        WCHAR c = *in++;
        unsigned digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
        else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
        else return false;
        value = value << 4 | digit;
    }
    return true;
}

}  // namespace

extern "C" NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING guidString)
{
    if (!guidString) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, (kGuidChars + 1) * sizeof(WCHAR), emu::kRtlStringTag));
    if (!buffer) return STATUS_NO_MEMORY;

    WCHAR* out = buffer;
    *out++ = u'{';
    PutHex(out, guid.Data1, 8);
    *out++ = u'-';
    PutHex(out, guid.Data2, 4);
    *out++ = u'-';
    PutHex(out, guid.Data3, 4);
    *out++ = u'-';
    PutHex(out, guid.Data4[0], 2);
    PutHex(out, guid.Data4[1], 2);
    *out++ = u'-';
    for (int i = 2; i < 8; ++i) PutHex(out, guid.Data4[i], 2);
    *out++ = u'}';
    *out = 0;

    guidString->Buffer = buffer;
    guidString->Length = static_cast<USHORT>(kGuidChars * sizeof(WCHAR));
    guidString->MaximumLength = static_cast<USHORT>((kGuidChars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlGUIDFromString(PCUNICODE_STRING guidString, GUID* guid)
{
    if (!guidString || !guid || !guidString->Buffer || guidString->Length != kGuidChars * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;

    const WCHAR* in = guidString->Buffer;
    uint64_t data1, data2, data3, clock, node;
    bool ok = *in++ == u'{' && GetHex(in, 8, data1) && *in++ == u'-' && GetHex(in, 4, data2) && *in++ == u'-' &&
              GetHex(in, 4, data3) && *in++ == u'-' && GetHex(in, 4, clock) && *in++ == u'-' &&
              GetHex(in, 12, node) && *in++ == u'}';
    if (!ok) return STATUS_INVALID_PARAMETER;

    // Written only once the whole text has been read.
    guid->Data1 = static_cast<ULONG>(data1);
    guid->Data2 = static_cast<USHORT>(data2);
    guid->Data3 = static_cast<USHORT>(data3);
    guid->Data4[0] = static_cast<UCHAR>(clock >> 8);
    guid->Data4[1] = static_cast<UCHAR>(clock);
    for (int i = 0; i < 6; ++i) guid->Data4[2 + i] = static_cast<UCHAR>(node >> (8 * (5 - i)));
    return STATUS_SUCCESS;
}
