// Plug and Play device properties.
#include "tfdeviceproperty.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfDeviceProperty::CTfDeviceProperty() : m_pPhysicalDeviceObject(NULL)
{
    TfDebugLog(7, "CTfDeviceProperty::CTfDeviceProperty - IN");
    TfDebugLog(7, "CTfDeviceProperty::CTfDeviceProperty - OUT (Success)");
}

CTfDeviceProperty::~CTfDeviceProperty()
{
    TfDebugLog(7, "CTfDeviceProperty::~CTfDeviceProperty - IN");
    TfDebugLog(7, "CTfDeviceProperty::~CTfDeviceProperty - OUT (Success)");
}

BOOLEAN CTfDeviceProperty::m_Read(DEVICE_REGISTRY_PROPERTY Property, PVOID* ppBuffer, PULONG pulResultLength)
{
    TfDebugLog(7, "CTfDeviceProperty::m_Read - IN");
    if (ppBuffer == NULL || pulResultLength == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> no result pointers");
        return FALSE;
    }
    *ppBuffer = NULL;
    *pulResultLength = 0;
    if (m_pPhysicalDeviceObject == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> no device object");
        return FALSE;
    }

    ULONG ulSize = sizeof(ULONG);
    // Grow only when the system asks for more, and only a few times: a size that does not grow
    // would otherwise repeat the read for ever.
    for (ULONG ulAttempt = 0; ulAttempt <= TF_DEVICE_PROPERTY_MAX_RETRIES; ulAttempt++) {
        PVOID pBuffer = AllocateTrackedPool(PagedPool, ulSize);
        if (pBuffer == NULL) {
            TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> no memory for %u bytes", ulSize);
            return FALSE;
        }
        RtlZeroMemory(pBuffer, ulSize);

        ULONG ulResultLength = 0;
        NTSTATUS Status = IoGetDeviceProperty(m_pPhysicalDeviceObject, Property, ulSize, pBuffer, &ulResultLength);
        if (Status == STATUS_SUCCESS) {
            *ppBuffer = pBuffer;
            *pulResultLength = ulResultLength;
            TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT (Success)");
            return TRUE;
        }
        FreeTrackedPool(pBuffer);

        if (Status != STATUS_BUFFER_TOO_SMALL) {
            TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> property %u status 0x%08x", (ULONG)Property,
                       (ULONG)Status);
            return FALSE;
        }
        if (ulResultLength <= ulSize) {
            TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> size %u does not grow", ulResultLength);
            return FALSE;
        }
        ulSize = ulResultLength;
    }
    TfDebugLog(7, "CTfDeviceProperty::m_Read - OUT - Fail-> size still growing");
    return FALSE;
}

BOOLEAN CTfDeviceProperty::m_GetDriverKeyName(CTfString* pString)
{
    TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - IN");
    if (pString == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - OUT - Fail-> no string");
        return FALSE;
    }
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    if (!m_Read(DevicePropertyDriverKeyName, &pBuffer, &ulLength)) {
        TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - OUT - Fail-> property not read");
        return FALSE;
    }

    // Take no more than the property's length, up to its first zero character: the text need not
    // be terminated within the buffer.
    PWCH pwcText = (PWCH)pBuffer;
    ULONG cchText = 0;
    while (cchText < ulLength / sizeof(WCHAR) && pwcText[cchText] != 0) cchText++;
    if (cchText > TF_STRING_MAX_CHARS) {
        FreeTrackedPool(pBuffer);
        TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - OUT - Fail-> name too long");
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
        TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - OUT - Fail-> string status 0x%08x",
                   (ULONG)pString->m_GetStatus());
        return FALSE;
    }
    TfDebugLog(7, "CTfDeviceProperty::m_GetDriverKeyName - OUT (Success)");
    return TRUE;
}
