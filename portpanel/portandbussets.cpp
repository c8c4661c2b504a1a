// The port and bus sets of an advanced page.
#include "portandbussets.h"

void CopyBusSet(const CvUser::CEnumdrvUserModeInterface& From, CvUser::CEnumdrvUserModeInterface& To)
{
    To.m_dwUSB_TxTransferSize = From.m_dwUSB_TxTransferSize;
    To.m_dwUSB_RxTransferSize = From.m_dwUSB_RxTransferSize;
    To.m_dwUSB_LatencyTimer = From.m_dwUSB_LatencyTimer;
    To.m_dwRxFifoSize = From.m_dwRxFifoSize;
    To.m_dwTxFifoSize = From.m_dwTxFifoSize;
    To.m_dwMaximumBaudRate = From.m_dwMaximumBaudRate;
    To.m_strInterfaceType = From.m_strInterfaceType;
    To.m_dwPolicyType = From.m_dwPolicyType;
    To.m_dwMaximumLatency = From.m_dwMaximumLatency;
    To.m_dwMaximumLatencySliderPos = From.m_dwMaximumLatencySliderPos;
    To.m_dwMaximumLatencyFineTuning = From.m_dwMaximumLatencyFineTuning;
    To.m_dwLowCpuUsageFineTuning = From.m_dwLowCpuUsageFineTuning;
    To.m_dwPortType = From.m_dwPortType;
    To.m_dwSoftTxLimit = From.m_dwSoftTxLimit;
}

CPortAndBusSets::CPortAndBusSets(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData)
    : m_DevInfoData(DevInfoData), m_Config(hDevInfo, DevInfoData), m_Parent(hDevInfo, &m_DevInfoData)
{
}

void CPortAndBusSets::Read()
{
    m_bPortSetRead = m_Config.Open() && m_Config.GetInformationSet(m_PortSet, FORWARD_PORT);
    m_bBusSetRead = m_bPortSetRead && m_Parent.FindParent() && ReadBusSetAgain();
}

BOOL CPortAndBusSets::ReadBusSetAgain()
{
    CvUser::CEnumdrvUserModeInterface Reread;
    if (!m_Config.GetInformationSet(Reread, FORWARD_BUS)) return FALSE;
    CopyBusSet(Reread, m_BusSet);
    return TRUE;
}
