// The settings client: finds the port driver's configuration interface instance of one port and
// reads and writes the port's information sets over it. CCvSetupDi_DeviceInterface owns the
// interface search set.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

#include "cvdevicereginfo.h"
#include "utfinformationset.h"

class CCvSetupDi_DeviceInterface {
public:
    // The interface class as four 32-bit words of the GUID in memory order.
    CCvSetupDi_DeviceInterface(ULONG ulWord0, ULONG ulWord1, ULONG ulWord2, ULONG ulWord3);
    virtual ~CCvSetupDi_DeviceInterface();
    CCvSetupDi_DeviceInterface(const CCvSetupDi_DeviceInterface&) = delete;
    CCvSetupDi_DeviceInterface& operator=(const CCvSetupDi_DeviceInterface&) = delete;

protected:
    GUID m_InterfaceClass;
    HDEVINFO m_hDevInfo;
};

class CCvUserModeConfig : public CCvSetupDi_DeviceInterface {
public:
    CCvUserModeConfig(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData);
    virtual ~CCvUserModeConfig();

    BOOL Open();
    BOOL GetInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount);
    BOOL GetStoredInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount);
    BOOL SetInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount);
    BOOL SendCommand(DWORD dwForwardCount);

    const CString& GetDevicePath() const { return m_strDevicePath; }

private:
    BOOL FindInterface(const CString& strReference);
    BOOL ReadSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount, DWORD dwSizeCode, DWORD dwDataCode);
    // One request on a handle of its own.
    BOOL Request(DWORD dwCode, const void* pvIn, DWORD dwInLength, void* pvOut, DWORD dwOutLength, DWORD* pdwReturned);

    CString m_strDevicePath;
    CCVDeviceRegInfo m_RegInfo;
};
