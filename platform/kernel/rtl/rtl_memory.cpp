// Run-time library memory routines.
#include <wdm.h>

#include <cstring>

extern "C" SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length)
{
    // The number of equal leading bytes, not an ordering.
    const UCHAR* a = static_cast<const UCHAR*>(source1);
    const UCHAR* b = static_cast<const UCHAR*>(source2);
    SIZE_T equal = 0;
    while (equal < length && a[equal] == b[equal]) ++equal;
    return equal;
}

extern "C" void RtlCopyMemory(void* destination, const void* source, SIZE_T length)
{
    if (length != 0) std::memcpy(destination, source, length);
}

extern "C" void RtlMoveMemory(void* destination, const void* source, SIZE_T length)
{
    if (length != 0) std::memmove(destination, source, length);
}

extern "C" void RtlZeroMemory(void* destination, SIZE_T length)
{
    if (length != 0) std::memset(destination, 0, length);
}

extern "C" void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill)
{
    if (length != 0) std::memset(destination, fill, length);
}
