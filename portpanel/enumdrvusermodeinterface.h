// The bus information set as the pages see it: the bus driver's USB transfer sizes, latency
// timer, FIFO sizes and latency policy for one port, 13 numbers and one string.
#pragma once

#include "utfinformationset.h"

namespace CvUser {

class CEnumdrvUserModeInterface : public CTfInformationSet {
public:
    CEnumdrvUserModeInterface();
    virtual ~CEnumdrvUserModeInterface() {}
    CEnumdrvUserModeInterface(const CEnumdrvUserModeInterface&) = delete;
    CEnumdrvUserModeInterface& operator=(const CEnumdrvUserModeInterface&) = delete;

    CString GetInterfaceType() const { return m_strInterfaceType; }

    DWORD m_dwUSB_TxTransferSize = 4096;
    DWORD m_dwUSB_RxTransferSize = 4096;
    DWORD m_dwUSB_LatencyTimer = 16;
    DWORD m_dwRxFifoSize = 128;
    DWORD m_dwTxFifoSize = 256;
    DWORD m_dwMaximumBaudRate = 1000000;
    CString m_strInterfaceType;
    DWORD m_dwPolicyType = 1;
    DWORD m_dwMaximumLatency = 16;
    DWORD m_dwMaximumLatencySliderPos = 16;
    DWORD m_dwMaximumLatencyFineTuning = 1;
    DWORD m_dwLowCpuUsageFineTuning = 1;
    DWORD m_dwPortType = 0;
    DWORD m_dwSoftTxLimit = 13;
};

}  // namespace CvUser
