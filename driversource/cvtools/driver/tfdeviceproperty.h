// Reads Plug and Play properties of a physical device object into tracked pool memory.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfstring.h"

// Times a read is repeated with the larger size the system asked for.
#define TF_DEVICE_PROPERTY_MAX_RETRIES 4

class CTfDeviceProperty : public CTfObjectBase {
public:
    CTfDeviceProperty();
    virtual ~CTfDeviceProperty();

    void m_SetPhysicalDeviceObject(PDEVICE_OBJECT pPhysicalDeviceObject) { m_pPhysicalDeviceObject = pPhysicalDeviceObject; }
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

    // TRUE with a tracked paged buffer (the caller frees it with FreeTrackedPool) and the property's
    // length; FALSE with a null buffer and length 0. PASSIVE_LEVEL only.
    BOOLEAN m_Read(DEVICE_REGISTRY_PROPERTY Property, PVOID* ppBuffer, PULONG pulResultLength);
    // The driver key name; the string is left as it was when the property cannot be read.
    BOOLEAN m_GetDriverKeyName(CTfString* pString);

private:
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
};
