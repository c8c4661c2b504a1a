// Plug and Play device properties.
#include "tfdeviceproperty.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfDeviceProperty::CTfDeviceProperty() : m_pPhysicalDeviceObject(NULL)
{
    CTfRoutineLog Log("CTfDeviceProperty::CTfDeviceProperty");
    Log.m_Success();
}

CTfDeviceProperty::~CTfDeviceProperty()
{
    CTfRoutineLog Log("CTfDeviceProperty::~CTfDeviceProperty");
    Log.m_Success();
}

BOOLEAN CTfDeviceProperty::m_Read(DEVICE_REGISTRY_PROPERTY Property, PVOID* ppBuffer, PULONG pulResultLength)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDeviceProperty::m_Read");
    if (ppBuffer == NULL || pulResultLength == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no result pointers");
        return FALSE;
    }
    *ppBuffer = NULL;
    *pulResultLength = 0;
    if (m_pPhysicalDeviceObject == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no device object");
        return FALSE;
    }

    ULONG ulSize = sizeof(ULONG);
    // Grow only when the system asks for more, and only a few times: a size that does not grow
    // would otherwise repeat the read for ever.
    for (ULONG ulAttempt = 0; ulAttempt <= TF_DEVICE_PROPERTY_MAX_RETRIES; ulAttempt++) {
        PVOID pBuffer = AllocateTrackedPool(PagedPool, ulSize);
        if (pBuffer == NULL) {
            Log.m_Fail("no memory for %u bytes", ulSize);
            return FALSE;
        }
        RtlZeroMemory(pBuffer, ulSize);

        ULONG ulResultLength = 0;
        NTSTATUS Status = IoGetDeviceProperty(m_pPhysicalDeviceObject, Property, ulSize, pBuffer, &ulResultLength);
        if (Status == STATUS_SUCCESS) {
            *ppBuffer = pBuffer;
            *pulResultLength = ulResultLength;
            Log.m_Success();
            return TRUE;
        }
        FreeTrackedPool(pBuffer);

        if (Status != STATUS_BUFFER_TOO_SMALL) {
            Log.m_Fail("property %u status 0x%08x", (ULONG)Property, (ULONG)Status);
            return FALSE;
        }
        if (ulResultLength <= ulSize) {
            Log.m_Fail("size %u does not grow", ulResultLength);
            return FALSE;
        }
        ulSize = ulResultLength;
    }
    Log.m_Fail("size still growing");
    return FALSE;
}

BOOLEAN CTfDeviceProperty::m_GetDriverKeyName(CTfString* pString)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDeviceProperty::m_GetDriverKeyName");
    if (pString == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no string");
        return FALSE;
    }
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    if (!m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength)) {
        Log.m_Fail("property not read");
        return FALSE;
    }

    // Take no more than the property's length, up to its first zero character: the text need not
    // be terminated within the buffer.
    PWCH pwcText = (PWCH)pBuffer;
    ULONG cchText = 0;
    while (cchText < ulLength / sizeof(WCHAR) && pwcText[cchText] != 0) cchText++;
    if (cchText > TF_STRING_MAX_CHARS) {
        FreeTrackedPool(pBuffer);
        Log.m_Fail("name too long");
        return FALSE;
    }

    if (cchText == 0) {
        pString->m_Clear();
    } else {
        UNICODE_STRING Text;
        Text.Length = (USHORT)(cchText * sizeof(WCHAR));
        Text.MaximumLength = Text.Length;
        Text.Buffer = pwcText;
        pString->m_AssignUnicodeString(&Text);
    }
    FreeTrackedPool(pBuffer);

    if (pString->m_GetStatus() != STATUS_SUCCESS) {
        Log.m_Fail("string status 0x%08x", (ULONG)pString->m_GetStatus());
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}
