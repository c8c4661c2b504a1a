// CPortAndBusSets: the two information sets a page of the advanced sheet reads for its port: the
// port set from the port driver (forwarding count 0) and the bus set the port driver forwards to
// the adapter's bus driver (count 1), with the settings client and the parent finder they need.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "cvsetupdiparentdevice.h"
#include "cvusermodeconfig.h"
#include "cvuvcpusermodeinterface.h"
#include "enumdrvusermodeinterface.h"

enum { FORWARD_PORT = 0, FORWARD_BUS = 1 };

// Copies every value of a bus set.
void CopyBusSet(const CvUser::CEnumdrvUserModeInterface& From, CvUser::CEnumdrvUserModeInterface& To);

class CPortAndBusSets {
public:
    CPortAndBusSets(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);
    CPortAndBusSets(const CPortAndBusSets&) = delete;
    CPortAndBusSets& operator=(const CPortAndBusSets&) = delete;

    // Opens the client and reads the port set, finds the parent and reads the bus set, each step
    // only after the one before it succeeded.
    void Read();
    BOOL PortSetRead() const { return m_bPortSetRead; }
    // A page whose bus set was never read shows no values from it and sends none.
    BOOL BusSetRead() const { return m_bBusSetRead; }
    // Reads the bus set again; the page's copy changes only when the read succeeds.
    BOOL ReadBusSetAgain();

    CCvUserModeConfig& Config() { return m_Config; }
    CvUser::CCvUVcpUserModeInterface& PortSet() { return m_PortSet; }
    const CvUser::CCvUVcpUserModeInterface& PortSet() const { return m_PortSet; }
    CvUser::CEnumdrvUserModeInterface& BusSet() { return m_BusSet; }

private:
    SP_DEVINFO_DATA m_DevInfoData;
    CCvUserModeConfig m_Config;
    CCvSetupDi_ParentDevice m_Parent;
    CvUser::CCvUVcpUserModeInterface m_PortSet;
    CvUser::CEnumdrvUserModeInterface m_BusSet;
    BOOL m_bPortSetRead = FALSE;
    BOOL m_bBusSetRead = FALSE;
};
