// The bus device of Enumdrv: the driver's own object behind each framework functional device.
// It accepts only the maker's adapters, hands out and takes back the ISerial records of the port
// objects it creates on request of the port driver, pushes the bus parameter set into them, and
// answers the four WMI data blocks.
//
// The port list is changed by the create and release requests and by the removal, and walked by
// the power callbacks, the parameter apply and WMI, from any of the framework's threads: every
// walk and change holds the port-list mutex (PASSIVE_LEVEL). Port initialisation and
// de-initialisation request device power through the framework, whose power-up path walks the
// list, so they run with the mutex released.
#pragma once

#include <wdm.h>

#include "enumdrvparameters.h"
#include "enumdrvwmi.h"
#include "ftdi1port.h"
#include "tffunctionaldevice.h"
#include "tfpassivelevelexecutor.h"
#include "tfpointerlist.h"

// The maker's USB vendor ID (a build-time constant shared with the simulated chip).
#ifndef CV_MAKER_VENDOR_ID
#error "CV_MAKER_VENDOR_ID is set by the build"
#endif
#define ENUMDRV_MAKER_VENDOR_ID ((USHORT)(CV_MAKER_VENDOR_ID))

// Highest port number whose duplex capability PortType can carry (bit n - 1).
#define ENUMDRV_MAX_DUPLEX_PORT 32

class CCvUsbSamDriver : public CTfObject {
public:
    CCvUsbSamDriver();
    // De-initialises and deletes every port still listed.
    virtual ~CCvUsbSamDriver();

    // Entry 0: keeps the device, fills the callback table and applies the hardware-ID rule.
    static BOOLEAN sm_AddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice);
    BOOLEAN m_AddDevice(CTfFunctionalDevice* pDevice);
    // The table entries the bus device serves.
    static void sm_FillCallbacks(CTfDeviceCallbacks* pCallbacks);

    // The hardware-ID rule on the PDO's first hardware ID.
    BOOLEAN m_CheckHardwareId(PDEVICE_OBJECT pPhysicalDeviceObject);
    // The rule on an upper-cased ID: it contains "USB\VID_<maker>&PID_" and does not start with it
    // followed by "F".
    static BOOLEAN sm_IsMakersHardwareId(PCUNICODE_STRING pUpperCaseId);
    // Duplex capability of a port number: bit (number - 1) of PortType; never for numbers outside
    // 1 .. 32.
    static UCHAR sm_IsDuplexPort(ULONG ulPortNumber, ULONG ulPortType);

    // PnP and power.
    BOOLEAN m_PnpStartDevice();
    BOOLEAN m_DoStartDevice();
    void m_DoRemoveDevice();
    BOOLEAN m_RebalanceDevice(ULONG ulPhase);
    void m_PowerDownResetDevice();
    void m_PowerUpInitDevice();

    // Configuration interface: a set to apply (phase 0) is copied and pushed into every port.
    BOOLEAN m_UserModeInterface(CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase, PUCHAR pucStoreAgain);

    // IOCTL_CREATE_CVISERIAL and IOCTL_RELEASE_CVISERIAL; any other code 0xC0000010.
    NTSTATUS m_InternalDeviceControlCallback(ULONG ulIoControlCode, PVOID pInputBuffer, ULONG ulInputLength,
                                             PVOID pOutputBuffer, ULONG ulOutputLength, PULONG_PTR pulInformation);

    // WMI query of one block (instance 0 only) into a buffer of the block's size.
    BOOLEAN m_WmiQueryData(ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);

    CTfFunctionalDevice* m_GetDevice() const { return m_pDevice; }
    // The parameter set the framework keeps for this device (recognised at apply).
    void m_SetParameterSet(CEnumdrvParameterInformationSet* pSet) { m_pParameterSet = pSet; }
    // The applied copy; FALSE while none was applied.
    BOOLEAN m_GetAppliedParameters(PENUMDRV_PARAMETERS pValues);
    ULONG m_GetPortCount();
    // The port-list mutex, for diagnostics and tests.
    PKMUTEX m_GetPortListMutex() { return &m_PortListMutex; }

protected:
    // The port object of a create request, not yet initialised; null without memory.
    virtual CFTDI1Port* m_NewPort(ULONG ulPortNumber);

private:
    CCvUsbSamDriver(const CCvUsbSamDriver&) = delete;
    CCvUsbSamDriver& operator=(const CCvUsbSamDriver&) = delete;

    NTSTATUS m_CreateISerial(PVOID pInputBuffer, ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                             PULONG_PTR pulInformation);
    NTSTATUS m_ReleaseISerial(PVOID pInputBuffer, ULONG ulInputLength);
    // With the list locked: hands the port the applied values (when there are any) and builds
    // its record; appends it. Null (nothing listed) on failure.
    ISerial* m_ListNewPort(CFTDI1Port* pPort, ULONG ulPortNumber);
    // With the list locked: the seven values, in the order the port expects them.
    void m_PushParameters(CFTDI1Port* pPort);
    // Takes the first listed port with that number (any number: ulPortNumber 0 and bAny) out.
    CFTDI1Port* m_UnlistPort(ULONG ulPortNumber, BOOLEAN bAny);
    static void sm_DeletePort(CFTDI1Port* pPort);
    // Calls a member of every listed port with the list locked; a failure is only logged.
    void m_ForEachPort(BOOLEAN (CFTDI1Port::*pfnCall)(), const char* pszFailure);
    void m_LockPorts();
    void m_UnlockPorts();
    // The power path may call at DISPATCH_LEVEL, where the list mutex cannot be waited for: the
    // walk is made on the power executor instead (argument: the port member to call).
    BOOLEAN m_WalkAtPassiveLevel(BOOLEAN bRestore);
    static void sm_PowerWalk(PVOID pContext, PVOID pArgument);

    // Callback entries (the object first).
    static BOOLEAN sm_PnpStartDevice(CTfObject* pObject);
    static void sm_PnpRemoveDevice(CTfObject* pObject);
    static BOOLEAN sm_CleanUp(CTfObject* pObject);
    static BOOLEAN sm_RebalanceDevice(CTfObject* pObject, ULONG ulPhase);
    static NTSTATUS sm_InternalDeviceControl(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                             ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                             PULONG_PTR pulInformation);
    static void sm_PowerDownResetDevice(CTfObject* pObject);
    static void sm_PowerUpInitDevice(CTfObject* pObject);
    static BOOLEAN sm_UserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase,
                                        PUCHAR pucStoreAgain);
    static BOOLEAN sm_WmiInstanceSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize);
    static BOOLEAN sm_WmiQueryData(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);
    static BOOLEAN sm_WmiSetDataBlock(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulSize,
                                      PUCHAR pucBuffer);
    static BOOLEAN sm_WmiSetDataItem(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulItemId,
                                     ULONG ulSize, PUCHAR pucBuffer);
    static BOOLEAN sm_WmiMethodSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulMethodId,
                                    PULONG pulInSize, PULONG pulOutSize);
    static BOOLEAN sm_WmiExecuteMethod(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulMethodId,
                                       PULONG pulInSize, PULONG pulOutSize, PUCHAR pucBuffer);

    CTfFunctionalDevice* m_pDevice;
    CEnumdrvParameterInformationSet* m_pParameterSet;  // the framework's, not owned
    // Guarded by the port-list mutex.
    KMUTEX m_PortListMutex;
    CTfPointerList m_PortList;  // CFTDI1Port*, in creation order
    ENUMDRV_PARAMETERS m_Applied;
    BOOLEAN m_bApplied;
    CTfPassiveLevelExecutor m_PowerExecutor;  // thread mode; started with the device
    BOOLEAN m_bPowerExecutorStarted;
};
