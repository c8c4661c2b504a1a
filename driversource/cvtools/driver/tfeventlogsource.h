// Event-log source of a driver: registers the driver's service as a source of the System log with
// the framework's message table, and reads the driver's LogLevel. Base of the debug manager.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfstring.h"

// Levels of LogLevel; a missing or larger value is replaced by the default.
#define TF_LOG_LEVEL_MAX 3
#define TF_LOG_LEVEL_DEFAULT 1

class CTfEventLogSource : public CTfObject {
public:
    // Reads LogLevel (writing the default where needed), then writes the source's key
    // "EventLog\System\<service>" under the Services root. *pbSuccess is TRUE only when every step
    // succeeded. PASSIVE_LEVEL.
    CTfEventLogSource(PDRIVER_OBJECT pDriverObject, const CTfString& ServiceName,
                      const CTfString& RegistryPath, BOOLEAN* pbSuccess);
    virtual ~CTfEventLogSource();

    // Reads LogLevel under the service key; a missing or invalid value is rewritten as the default.
    // FALSE when the default cannot be written.
    BOOLEAN m_ReadLogLevel(const CTfString& RegistryPath);
    // Deletes the source's key and frees both names. TRUE when the key was deleted; does nothing
    // once the names are gone.
    BOOLEAN m_RemoveRegistration();

    ULONG m_GetLogLevel() const { return m_ulLogLevel; }
    PDRIVER_OBJECT m_GetDriverObject() const { return m_pDriverObject; }
    // TRUE from a successful construction until the registration is removed.
    BOOLEAN m_IsRegistered() const { return m_bRegistered; }

protected:
    CTfString m_RegistryPath;
    CTfString m_ServiceName;
    PDRIVER_OBJECT m_pDriverObject;
    ULONG m_ulLogLevel;
    BOOLEAN m_bRegistered;

private:
    CTfEventLogSource(const CTfEventLogSource&) = delete;
    CTfEventLogSource& operator=(const CTfEventLogSource&) = delete;
};
