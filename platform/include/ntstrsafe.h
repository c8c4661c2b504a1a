// Bounded string routines of the kernel's safe-string library.
#pragma once

#include <cstdarg>

#include <wdm.h>

#define NTSTRSAFE_MAX_CCH 2147483647

// Each formats or copies into a destination of the given size (bytes for Cb, characters for Cch),
// always terminates it, and returns STATUS_BUFFER_OVERFLOW when the output was cut.
// "%s" with a null pointer prints "(null)".
NTSYSAPI NTSTATUS RtlStringCbVPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, va_list args);
NTSYSAPI NTSTATUS RtlStringCbPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, ...);
NTSYSAPI NTSTATUS RtlStringCchVPrintfA(PSTR dest, SIZE_T cchDest, PCSTR format, va_list args);
NTSYSAPI NTSTATUS RtlStringCchPrintfA(PSTR dest, SIZE_T cchDest, PCSTR format, ...);
NTSYSAPI NTSTATUS RtlStringCbCopyA(PSTR dest, SIZE_T cbDest, PCSTR source);
NTSYSAPI NTSTATUS RtlStringCbCatA(PSTR dest, SIZE_T cbDest, PCSTR source);
NTSYSAPI NTSTATUS RtlStringCbLengthA(PCSTR psz, SIZE_T cbMax, PSIZE_T pcbLength);
NTSYSAPI NTSTATUS RtlStringCbCopyW(PWSTR dest, SIZE_T cbDest, PCWSTR source);
NTSYSAPI NTSTATUS RtlStringCbCatW(PWSTR dest, SIZE_T cbDest, PCWSTR source);
NTSYSAPI NTSTATUS RtlStringCbLengthW(PCWSTR psz, SIZE_T cbMax, PSIZE_T pcbLength);
NTSYSAPI NTSTATUS RtlStringCchCopyW(PWSTR dest, SIZE_T cchDest, PCWSTR source);
NTSYSAPI NTSTATUS RtlStringCchCatW(PWSTR dest, SIZE_T cchDest, PCWSTR source);
NTSYSAPI NTSTATUS RtlStringCchLengthW(PCWSTR psz, SIZE_T cchMax, PSIZE_T pcchLength);
