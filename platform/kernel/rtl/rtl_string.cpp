// Run-time library counted strings.
#include <wdm.h>

#include <cstring>

#include "rtl/rtl_text.h"

using emu::AnsiFromWide;
using emu::Upcase;
using emu::WideFromAnsi;

// This machine's ANSI code page is single-byte (C linkage from the declaration in <wdm.h>).
BOOLEAN NlsMbCodePageTag = FALSE;

namespace {

// Longest counted strings: MaximumLength is a USHORT, and Windows keeps room for the terminator.
constexpr size_t kMaxUnicodeBytes = 0xFFFE;
constexpr size_t kMaxAnsiBytes = 0xFFFF;

WCHAR Fold(WCHAR c, BOOLEAN caseInsensitive) { return caseInsensitive ? Upcase(c) : c; }

void* AllocateStringBuffer(size_t bytes)
{
    return ExAllocatePoolWithTag(PagedPool, bytes, emu::kRtlStringTag);
}

}  // namespace

extern "C" void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    destination->Buffer = const_cast<PWCH>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t bytes = std::char_traits<WCHAR>::length(source) * sizeof(WCHAR);
    // Windows cuts an over-long text rather than let the 16-bit length wrap.
    if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) bytes = kMaxUnicodeBytes - sizeof(WCHAR);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" void RtlInitAnsiString(PANSI_STRING destination, PCSZ source)
{
    destination->Buffer = const_cast<PCHAR>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(source);
    if (bytes > kMaxAnsiBytes - 1) bytes = kMaxAnsiBytes - 1;
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + 1);
}

extern "C" void RtlInitString(PSTRING destination, PCSZ source) { RtlInitAnsiString(destination, source); }

extern "C" ULONG RtlAnsiStringToUnicodeSize(PCANSI_STRING ansiString)
{
    return (static_cast<ULONG>(ansiString->Length) + 1) * sizeof(WCHAR);
}

extern "C" ULONG RtlUnicodeStringToAnsiSize(PCUNICODE_STRING unicodeString)
{
    return static_cast<ULONG>(unicodeString->Length / sizeof(WCHAR)) + 1;
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                                 BOOLEAN allocateDestination)
{
    if (!destination || !source || (source->Length != 0 && !source->Buffer)) return STATUS_INVALID_PARAMETER;
    ULONG size = RtlAnsiStringToUnicodeSize(source);  // with the terminator
    if (size > kMaxUnicodeBytes) return STATUS_INVALID_PARAMETER;

    PWCH buffer;
    if (allocateDestination) {
        buffer = static_cast<PWCH>(AllocateStringBuffer(size));
        if (!buffer) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(size);
    } else {
        if (size > destination->MaximumLength || !destination->Buffer) return STATUS_BUFFER_OVERFLOW;
        buffer = destination->Buffer;
    }
    for (USHORT i = 0; i < source->Length; ++i) buffer[i] = WideFromAnsi(source->Buffer[i]);
    buffer[source->Length] = 0;
    destination->Length = static_cast<USHORT>(source->Length * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                                 BOOLEAN allocateDestination)
{
    if (!destination || !source || (source->Length != 0 && !source->Buffer)) return STATUS_INVALID_PARAMETER;
    ULONG size = RtlUnicodeStringToAnsiSize(source);  // with the terminator
    USHORT chars = static_cast<USHORT>(size - 1);

    PCHAR buffer;
    if (allocateDestination) {
        buffer = static_cast<PCHAR>(AllocateStringBuffer(size));
        if (!buffer) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(size);
    } else {
        if (size > destination->MaximumLength || !destination->Buffer) return STATUS_BUFFER_OVERFLOW;
        buffer = destination->Buffer;
    }
    for (USHORT i = 0; i < chars; ++i) buffer[i] = AnsiFromWide(source->Buffer[i]);
    buffer[chars] = 0;
    destination->Length = chars;
    return STATUS_SUCCESS;
}

extern "C" void RtlFreeUnicodeString(PUNICODE_STRING unicodeString)
{
    if (unicodeString->Buffer) ExFreePool(unicodeString->Buffer);
    unicodeString->Buffer = nullptr;
    unicodeString->Length = unicodeString->MaximumLength = 0;
}

extern "C" void RtlFreeAnsiString(PANSI_STRING ansiString)
{
    if (ansiString->Buffer) ExFreePool(ansiString->Buffer);
    ansiString->Buffer = nullptr;
    ansiString->Length = ansiString->MaximumLength = 0;
}

extern "C" void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (!source || !source->Buffer) {
        destination->Length = 0;
        return;
    }
    // As much as fits, in whole characters; terminated when there is room.
    size_t bytes = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    bytes &= ~size_t{1};
    if (bytes != 0) std::memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

namespace {

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    size_t total = size_t{destination->Length} + bytes;
    if (total > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (!source || !source->Buffer) return STATUS_SUCCESS;
    return Append(destination, source->Buffer, source->Length);
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    if (!source) return STATUS_SUCCESS;
    return Append(destination, source, std::char_traits<WCHAR>::length(source) * sizeof(WCHAR));
}

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                        BOOLEAN caseInSensitive)
{
    std::u16string_view a = emu::View(string1), b = emu::View(string2);
    size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        LONG difference = static_cast<LONG>(Fold(a[i], caseInSensitive)) - static_cast<LONG>(Fold(b[i], caseInSensitive));
        if (difference != 0) return difference;
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                         BOOLEAN caseInSensitive)
{
    if (emu::View(string1).size() != emu::View(string2).size()) return FALSE;
    return RtlCompareUnicodeString(string1, string2, caseInSensitive) == 0;
}

extern "C" BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2,
                                          BOOLEAN caseInSensitive)
{
    std::u16string_view prefix = emu::View(string1), text = emu::View(string2);
    if (prefix.size() > text.size()) return FALSE;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Fold(prefix[i], caseInSensitive) != Fold(text[i], caseInSensitive)) return FALSE;
    return TRUE;
}

extern "C" WCHAR RtlUpcaseUnicodeChar(WCHAR sourceCharacter) { return Upcase(sourceCharacter); }

extern "C" NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source,
                                           BOOLEAN allocateDestination)
{
    if (!destination || !source || (source->Length != 0 && !source->Buffer)) return STATUS_INVALID_PARAMETER;
    USHORT bytes = static_cast<USHORT>(source->Length & ~1u);
    PWCH buffer;
    if (allocateDestination) {
        // MaximumLength is the text's length, as on Windows; the spare character is a terminator
        // for callers that read one anyway.
        buffer = static_cast<PWCH>(AllocateStringBuffer(size_t{bytes} + sizeof(WCHAR)));
        if (!buffer) return STATUS_NO_MEMORY;
        buffer[bytes / sizeof(WCHAR)] = 0;
        destination->MaximumLength = bytes;
    } else {
        if (bytes > destination->MaximumLength || (bytes != 0 && !destination->Buffer)) return STATUS_BUFFER_OVERFLOW;
        buffer = destination->Buffer;
    }
    // Source and destination may be the same string.
    for (USHORT i = 0; i < bytes / sizeof(WCHAR); ++i) buffer[i] = Upcase(source->Buffer[i]);
    destination->Buffer = buffer;
    destination->Length = bytes;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringValidate(PCUNICODE_STRING sourceString)
{
    if (!sourceString) return STATUS_INVALID_PARAMETER;
    if ((sourceString->Length % sizeof(WCHAR)) != 0 || (sourceString->MaximumLength % sizeof(WCHAR)) != 0 ||
        sourceString->Length > sourceString->MaximumLength || sourceString->MaximumLength > kMaxUnicodeBytes)
        return STATUS_INVALID_PARAMETER;
    if (!sourceString->Buffer && (sourceString->Length != 0 || sourceString->MaximumLength != 0))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}
