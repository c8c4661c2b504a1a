// The bus set's items, registered in the bus driver's order with their defaults.
#include "enumdrvusermodeinterface.h"

namespace CvUser {

CEnumdrvUserModeInterface::CEnumdrvUserModeInterface()
{
    AddItem(u"USB_TxTransferSize", &m_dwUSB_TxTransferSize, m_dwUSB_TxTransferSize);
    AddItem(u"USB_RxTransferSize", &m_dwUSB_RxTransferSize, m_dwUSB_RxTransferSize);
    AddItem(u"USB_LatencyTimer", &m_dwUSB_LatencyTimer, m_dwUSB_LatencyTimer);
    AddItem(u"RxFifoSize", &m_dwRxFifoSize, m_dwRxFifoSize);
    AddItem(u"TxFifoSize", &m_dwTxFifoSize, m_dwTxFifoSize);
    AddItem(u"MaximumBaudRate", &m_dwMaximumBaudRate, m_dwMaximumBaudRate);
    AddStringItem(u"InterfaceType", &m_strInterfaceType);
    AddItem(u"PolicyType", &m_dwPolicyType, m_dwPolicyType);
    AddItem(u"MaximumLatency", &m_dwMaximumLatency, m_dwMaximumLatency);
    AddItem(u"MaximumLatencySliderPos", &m_dwMaximumLatencySliderPos, m_dwMaximumLatencySliderPos);
    AddItem(u"MaximumLatencyFineTuning", &m_dwMaximumLatencyFineTuning, m_dwMaximumLatencyFineTuning);
    AddItem(u"LowCpuUsageFineTuning", &m_dwLowCpuUsageFineTuning, m_dwLowCpuUsageFineTuning);
    AddItem(u"PortType", &m_dwPortType, m_dwPortType);
    AddItem(u"SoftTxLimit", &m_dwSoftTxLimit, m_dwSoftTxLimit);
}

}  // namespace CvUser
