// Code both test driver images share: the call record, the per-device object the framework hands
// back to every callback, and the driver entry and unload in the framework's order.
#pragma once

#include <wdm.h>

#include "tfdriver.h"
#include "tffunctionaldevice.h"
#include "tfobject.h"
#include "tftestimage.h"

// Appends one formatted line to the record; writes the record to the registry when called at
// PASSIVE_LEVEL. Any IRQL up to DISPATCH_LEVEL.
void TfTestRecord(const char* pszFormat, ...);
// Writes the lines not yet in the registry. PASSIVE_LEVEL. Returns the lines written so far.
ULONG TfTestFlushRecord(void);
// The service key's RefuseValue (MAXULONG when there is none).
ULONG TfTestGetRefuseValue(void);

// The driver-specific object of one functional device.
class CTfTestDevice : public CTfObject {
public:
    CTfTestDevice();
    virtual ~CTfTestDevice();

    ULONG m_GetSerial() const { return m_ulSerial; }
    CTfFunctionalDevice* m_GetDevice() const { return m_pDevice; }
    void m_SetDevice(CTfFunctionalDevice* pDevice) { m_pDevice = pDevice; }

    // The object made by the last create callback, until the device-added callback takes it.
    static CTfTestDevice* sm_pNewest;

private:
    ULONG m_ulSerial;
    CTfFunctionalDevice* m_pDevice;
};

// Entry 0: remembers the functional device and records its name.
BOOLEAN TfTestAddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice);
// The description's delete callback.
void TfTestDeleteObject(CTfObject* pObject);
// Entries both images record the same way.
BOOLEAN TfTestCreate(CTfObject* pObject);
BOOLEAN TfTestClose(CTfObject* pObject);
BOOLEAN TfTestPnpStart(CTfObject* pObject);
void TfTestPnpRemove(CTfObject* pObject);
BOOLEAN TfTestRebalance(CTfObject* pObject, ULONG ulPhase);
void TfTestPowerDown(CTfObject* pObject);
void TfTestPowerUp(CTfObject* pObject);
// The private codes every image answers (TFTEST_IOCTL_FLUSH_RECORD, TFTEST_IOCTL_ECHO);
// STATUS_NOT_SUPPORTED for any other code.
NTSTATUS TfTestCommonControl(ULONG ulIoControlCode, PVOID pInputBuffer, ULONG ulInputLength, PVOID pOutputBuffer,
                             ULONG ulOutputLength, PULONG_PTR pulInformation);
// Records an entry-18 call with the set's values (numbers and strings in registration order) and
// refuses an apply whose first number is the RefuseValue.
BOOLEAN TfTestUserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase,
                                PUCHAR pucStoreAgain);

// DriverEntry of an image: library and framework references, debug manager, the record, the
// framework driver object; the image's unload then records "unload" before the framework's.
NTSTATUS TfTestDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath,
                           CTfDriverDescription* pDescription);
