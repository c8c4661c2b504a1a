// CCOMPortUtil: one port's COM name kept consistent wherever it is recorded: the DOS device name
// and SERIALCOMM entry, the COM-name database, the friendly name, PortName and the Ports line.
#pragma once

#include "cvdevicereginfo.h"
#include "portutil.h"

class CCOMPortUtil : public CCVDeviceRegInfo, public CPortUtil {
public:
    // MovePortNameOwner's results.
    enum { OWNER_NOT_FOUND = 0, OWNER_MOVED = 1, OWNER_NOT_MOVED = 2 };

    CCOMPortUtil(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData);
    ~CCOMPortUtil() override;

    // 1 when renamed or when a question was declined, 0 when it failed (nothing changed then). With
    // no owner window and no open check (the co-installers' call) no question is asked: a new name
    // that another device holds fails instead.
    int ChangePortName(const CString& strNewName, HWND hOwner, BOOL bCheckOpen, BOOL bReenumerate);
    int ReleaseComNumber(const CString& strName);
    int RemovePortName();
    void WritePortsDefault();
    // Moves the device (present or not) whose PortName is `strWantedName` to the lowest free number
    // from `dwFirstNumber` to 254; OWNER_NOT_MOVED when it is present and no number is free.
    int MovePortNameOwner(const CString& strWantedName, DWORD dwFirstNumber);
    // The lowest number of the range that the database has free, or 0.
    DWORD FindFreeComNumber(DWORD dwFirst, DWORD dwLast);

private:
    BOOL ClaimNewName(DWORD dwNewNumber, HWND hOwner, BOOL bQuiet, BOOL bFixedModel, BOOL& bHeld, BOOL& bDeclined);
    BOOL WriteNameRecords(const CString& strOldName, const CString& strNewName, const CString& strFriendlyName);
    void UndoRename(const CString& strOldName, const CString& strNewName, BOOL bNewWasHeld);
};

// The member's work for a device given by set and element.
void WritePortsDefault(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

// The friendly name with the port's name replaced: the trailing "(COMn)" when there is one, else
// every occurrence.
CString RenamedFriendlyName(const CString& strFriendlyName, const CString& strOldName, const CString& strNewName);
