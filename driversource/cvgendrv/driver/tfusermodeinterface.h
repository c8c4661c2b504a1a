// Configuration interface of a functional device: the private channel through which the property
// pages read and change the driver's information sets. It registers a device interface on the
// device's PDO (reference string "CVGENDRV_" + driver key), recognises handles opened through it,
// and answers the six buffered control codes of tfusermodeinterfacecodes.h. A request with a
// forwarding count of 1 is passed, count cleared, to the driver below.
//
// Values live under the device's hardware key, one subkey "UI<n>" per set index, with the
// defaults in its subkey "Default". All of it runs at PASSIVE_LEVEL; one mutex per interface
// keeps concurrent requests (and the loads at create and start) off each other's set.
#pragma once

#include <wdm.h>

#include "tfdeviceproperty.h"
#include "tfobject.h"
#include "tfregistryinformationset.h"
#include "tfstring.h"
#include "tfusermodeinterfacecodes.h"

// Phases of the set-changed hook (entry 18 of the device callbacks).
#define TF_UMI_PHASE_APPLY 0     // the set's values are to be applied
#define TF_UMI_PHASE_DEFAULTS 1  // the set was just created; its defaults are about to be written

// Prefix of the reference string, and what a file name opened through the interface starts with.
#define TF_UMI_REFERENCE_PREFIX "CVGENDRV_"
#define TF_UMI_FILE_PREFIX "\\CVGENDRV_"
// Longest file name that is tested for the prefix, in characters.
#define TF_UMI_MAX_FILE_NAME_CHARS 1024
// Name of the set key: this prefix and the set index in decimal.
#define TF_UMI_SET_KEY_PREFIX "UI"

// Set-changed hook: the driver applies (phase 0) or prepares (phase 1) a set; setting
// *pucStoreAgain to 1 asks that the set, as the hook left it, be written back to the set key.
typedef BOOLEAN (*PTF_UMI_SET_CHANGED_ROUTINE)(PVOID pContext, CTfRegistryInformationSet* pSet,
                                               ULONG ulIndex, ULONG ulPhase, PUCHAR pucStoreAgain);
// Forwarding hook: sends the control code with pBuffer as input and output (the original lengths)
// as a synchronous device-control request carrying pFileObject to the driver below. TRUE when it
// succeeded; *pulInformation is then the answering driver's information.
typedef BOOLEAN (*PTF_UMI_FORWARD_ROUTINE)(PVOID pContext, ULONG ulIoControlCode, PVOID pBuffer,
                                           ULONG ulInputLength, ULONG ulOutputLength,
                                           PFILE_OBJECT pFileObject, PULONG_PTR pulInformation);

class TfUserModeInterface : public CTfObject {
public:
    TfUserModeInterface();
    // Disables the interface when it was registered, frees the link name and deletes the set.
    virtual ~TfUserModeInterface();

    // --- Set up during device construction, before m_Init ---

    // The set becomes the interface's (deleted with it); null: the device has no interface. A set
    // given earlier is deleted.
    void m_SetInformationSet(CTfRegistryInformationSet* pInformationSet);
    CTfRegistryInformationSet* m_GetInformationSet() { return m_pInformationSet; }
    BOOLEAN m_HasInformationSet() const { return m_pInformationSet != NULL; }

    // Interface class as four 32-bit words: Data1; Data2 | Data3 << 16; Data4[0..3]; Data4[4..7]
    // (each little-endian), e.g. TF_PORT_INTERFACE_GUID_WORDS.
    void m_SetInterfaceGuid(ULONG ulWord1, ULONG ulWord2, ULONG ulWord3, ULONG ulWord4);
    void m_SetInterfaceGuid(const GUID& InterfaceGuid) { m_InterfaceGuid = InterfaceGuid; }
    const GUID& m_GetInterfaceGuid() const { return m_InterfaceGuid; }

    // Index a forwarded request with index -1 gets: the ContextID of the child device below, or
    // -1 (the default) for the lowest stack layer.
    void m_SetOwnIndex(ULONG ulOwnIndex) { m_ulOwnIndex = ulOwnIndex; }
    ULONG m_GetOwnIndex() const { return m_ulOwnIndex; }
    // NumberChildDevices of the device; 0 gives one set.
    void m_SetSetCount(ULONG ulSetCount) { m_ulSetCount = ulSetCount == 0 ? 1 : ulSetCount; }
    ULONG m_GetSetCount() const { return m_ulSetCount; }

    void m_SetPhysicalDeviceObject(PDEVICE_OBJECT pPhysicalDeviceObject);
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

    // The functional device installs sm_SetChangedCallback and sm_ForwardRequest with itself
    // (CTfFunctionalDevice*) as the context. A null set-changed hook accepts every set; a null
    // forwarding hook makes count-1 requests fail.
    void m_SetHooks(PTF_UMI_SET_CHANGED_ROUTINE pfnSetChanged, PTF_UMI_FORWARD_ROUTINE pfnForward,
                    PVOID pContext);

    // --- Operation ---

    // Registers and enables the interface on the PDO; TRUE without a set (nothing to register).
    BOOLEAN m_Init();
    BOOLEAN m_IsRegistered() const { return m_bRegistered; }
    // The link name the system gave (empty before registration).
    PCUNICODE_STRING m_GetSymbolicLinkName() const { return &m_SymbolicLinkName; }
    CTfString* m_GetReferenceString() { return &m_ReferenceString; }

    // *pbIsInterface: the name starts with "\CVGENDRV_" in any case. A name longer than 1024
    // characters is not the interface. FALSE only when the test itself failed.
    BOOLEAN m_IsInterfaceFile(PCUNICODE_STRING pFileName, PBOOLEAN pbIsInterface);

    // Creates or opens the set key "UI<index>" under the hardware key; the caller closes it.
    // Only 1 to the set count is accepted.
    BOOLEAN m_OpenSetKey(PHANDLE phKey, ULONG ulIndex);

    // Answers (or forwards) one configuration request and completes the IRP.
    NTSTATUS m_Dispatch_Device_Control(PIRP pIrp);

    // Loads every set index, creates missing defaults, and has the driver apply each set: at the
    // first start and at every create.
    BOOLEAN m_LoadAllSets();

    // --- The functional device's hooks (context: the CTfFunctionalDevice) ---

    // Calls entry 18 of the device callbacks; a missing entry accepts the set.
    static BOOLEAN sm_SetChangedCallback(PVOID pContext, CTfRegistryInformationSet* pSet, ULONG ulIndex,
                                         ULONG ulPhase, PUCHAR pucStoreAgain);
    // To the functional device of the parent of the child device below, or, for the lowest stack
    // layer, to the attached lower device.
    static BOOLEAN sm_ForwardRequest(PVOID pContext, ULONG ulIoControlCode, PVOID pBuffer,
                                     ULONG ulInputLength, ULONG ulOutputLength, PFILE_OBJECT pFileObject,
                                     PULONG_PTR pulInformation);

private:
    NTSTATUS m_AnswerRequest(ULONG ulIoControlCode, PUCHAR pucBuffer, ULONG ulInputLength,
                             ULONG ulOutputLength, ULONG ulIndex, PULONG_PTR pulInformation);
    NTSTATUS m_ForwardRequest(PIRP pIrp, ULONG ulIoControlCode, PUCHAR pucBuffer, ULONG ulInputLength,
                              ULONG ulOutputLength, PULONG_PTR pulInformation);
    NTSTATUS m_GetSize(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex, PULONG_PTR pulInformation);
    NTSTATUS m_GetSet(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex, BOOLEAN bDefaults,
                      PULONG_PTR pulInformation);
    NTSTATUS m_GetDefaultsSize(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex,
                               PULONG_PTR pulInformation);
    NTSTATUS m_ChangeSet(PUCHAR pucPayload, ULONG ulPayloadLength, ULONG ulIndex, BOOLEAN bReset);
    BOOLEAN m_LoadSet(ULONG ulIndex, BOOLEAN bDefaults);
    BOOLEAN m_StoreSet(ULONG ulIndex, BOOLEAN bDefaults);
    BOOLEAN m_LoadOneSet(ULONG ulIndex);
    BOOLEAN m_CallSetChanged(ULONG ulIndex, ULONG ulPhase, PUCHAR pucStoreAgain);
    BOOLEAN m_IsSetIndex(ULONG ulIndex) const { return ulIndex >= 1 && ulIndex <= m_ulSetCount; }

    void m_Lock();
    void m_Unlock();

    CTfDeviceProperty m_DeviceProperty;
    UNICODE_STRING m_SymbolicLinkName;
    BOOLEAN m_bRegistered;
    CTfString m_ReferenceString;
    CTfRegistryInformationSet* m_pInformationSet;
    GUID m_InterfaceGuid;
    ULONG m_ulOwnIndex;
    ULONG m_ulSetCount;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PTF_UMI_SET_CHANGED_ROUTINE m_pfnSetChanged;
    PTF_UMI_FORWARD_ROUTINE m_pfnForward;
    PVOID m_pHookContext;
    KMUTEX m_Mutex;

    TfUserModeInterface(const TfUserModeInterface&) = delete;
    TfUserModeInterface& operator=(const TfUserModeInterface&) = delete;
};
