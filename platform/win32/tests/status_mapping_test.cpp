// NTSTATUS to Win32 error mapping (RtlNtStatusToDosError).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Pair {
    NTSTATUS status;
    DWORD error;
};

TEST(StatusMapping, DocumentedPairsOfTheCodesDriversUse)
{
    const Pair pairs[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_TIMEOUT, ERROR_TIMEOUT},
        {static_cast<NTSTATUS>(0xC0000150u), ERROR_SERIAL_NO_DEVICE},
        {static_cast<NTSTATUS>(0x4000000Cu), ERROR_COUNTER_TIMEOUT},
        {static_cast<NTSTATUS>(0xC00000F1u), ERROR_INVALID_PARAMETER},  // STATUS_INVALID_PARAMETER_3
    };
    for (const Pair& pair : pairs)
        EXPECT_EQ(RtlNtStatusToDosError(pair.status), static_cast<ULONG>(pair.error)) << std::hex << pair.status;
}

TEST(StatusMapping, Win32FacilityCarriesItsErrorAndUnknownCodesHaveNone)
{
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0070005u)), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0x80070057u)), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0AB0001u)), static_cast<ULONG>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0x00070005u)), static_cast<ULONG>(ERROR_MR_MID_NOT_FOUND));
}

TEST(StatusMapping, CustomerCodesPassThroughUnchanged)
{
    // The customer bit wins over everything else a code carries, facility 7 included.
    for (uint32_t code : {0xE0000001u, 0xA0070005u, 0x60000000u, 0x20000000u})
        EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(code)), code) << std::hex << code;
}

}  // namespace
