// The bus device's WMI data blocks: GUIDs, block table and schema.
#include "enumdrvwmi.h"

// {54E286E2-9E92-42C3-9FCE-AA1615E45F19}
const GUID g_EnumdrvWmiTimingsGuid = {0x54E286E2, 0x9E92, 0x42C3, {0x9F, 0xCE, 0xAA, 0x16, 0x15, 0xE4, 0x5F, 0x19}};
// {00B10A44-C2E1-4CB5-882F-4CFA746D228F}
const GUID g_EnumdrvWmiParametersGuid = {0x00B10A44, 0xC2E1, 0x4CB5, {0x88, 0x2F, 0x4C, 0xFA, 0x74, 0x6D, 0x22, 0x8F}};
// {3BBCB9DC-8F83-4777-AE87-3BD50D474E7B}
const GUID g_EnumdrvWmiPortStateGuid = {0x3BBCB9DC, 0x8F83, 0x4777, {0xAE, 0x87, 0x3B, 0xD5, 0x0D, 0x47, 0x4E, 0x7B}};
// {05901221-D566-11D1-B2F0-00A0C9062910}: the standard GUID of a driver's binary MOF block.
const GUID g_EnumdrvWmiBinaryMofGuid = {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

TF_WMI_GUID_RECORD g_aEnumdrvWmiBlocks[ENUMDRV_WMI_BLOCK_COUNT] = {
    {&g_EnumdrvWmiTimingsGuid, 1, 0, sizeof(ENUMDRV_WMI_TIMINGS), 1, 0, 0},
    {&g_EnumdrvWmiParametersGuid, 1, 0, sizeof(ENUMDRV_WMI_PARAMETERS), 1, 0, 0},
    {&g_EnumdrvWmiPortStateGuid, 1, 0, sizeof(ENUMDRV_WMI_PORT_STATE), 1, 0, 0},
    {&g_EnumdrvWmiBinaryMofGuid, 1, 0, ENUMDRV_WMI_MOF_SIZE, 1, 0, 0},
};

namespace {

// The schema block: a header ("FOMB", uncompressed, the lengths) and the class definitions,
// zero-padded to the block's fixed size.
#define ENUMDRV_MOF_HEADER_SIZE 16
#define ENUMDRV_MOF_TEXT_SIZE (ENUMDRV_WMI_MOF_SIZE - ENUMDRV_MOF_HEADER_SIZE)

#pragma pack(push, 1)
typedef struct _ENUMDRV_BINARY_MOF {
    ULONG ulSignature;         // "FOMB"
    ULONG ulCompressionType;   // 0: the text follows as it is
    ULONG ulCompressedSize;
    ULONG ulUncompressedSize;
    char szText[ENUMDRV_MOF_TEXT_SIZE];
} ENUMDRV_BINARY_MOF;
#pragma pack(pop)

static_assert(sizeof(ENUMDRV_BINARY_MOF) == ENUMDRV_WMI_MOF_SIZE, "the schema block has its fixed size");

const ENUMDRV_BINARY_MOF s_BinaryMof = {
    0x424D4F46,
    0,
    ENUMDRV_MOF_TEXT_SIZE,
    ENUMDRV_MOF_TEXT_SIZE,
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\wmi\")\n"
    "#pragma classflags(\"forceupdate\")\n"
    "\n"
    "[WMI, Dynamic, Provider(\"WMIProv\"), Locale(\"MS\\\\0x409\"),\n"
    " Description(\"Receive timings and counters of the adapter's first port\"),\n"
    " guid(\"{54E286E2-9E92-42C3-9FCE-AA1615E45F19}\")]\n"
    "class Enumdrv_PortTimings\n"
    "{\n"
    "    [key, read] string InstanceName;\n"
    "    [read] boolean Active;\n"
    "    [WmiDataId(1), read, Description(\"Last receive packet parse (us)\")] uint32 ParseTime;\n"
    "    [WmiDataId(2), read, Description(\"Delivery work item delay (us)\")] uint32 PassiveLevelDelay;\n"
    "    [WmiDataId(3), read, Description(\"Delivery duration (us)\")] uint32 DeliveryTime;\n"
    "    [WmiDataId(4), read, Description(\"Since the previous bulk IN completion (ms)\")] uint32 BulkInInterval;\n"
    "    [WmiDataId(5), read, Description(\"Transport receive callback (us)\")] uint32 TransportCallbackTime;\n"
    "    [WmiDataId(6), read, Description(\"Bytes reported as sent since open\")] uint32 BytesSent;\n"
    "    [WmiDataId(7), read, Description(\"Bytes received since open\")] uint32 BytesReceived;\n"
    "};\n"
    "\n"
    "[WMI, Dynamic, Provider(\"WMIProv\"), Locale(\"MS\\\\0x409\"),\n"
    " Description(\"Applied bus parameters\"),\n"
    " guid(\"{00B10A44-C2E1-4CB5-882F-4CFA746D228F}\")]\n"
    "class Enumdrv_BusParameters\n"
    "{\n"
    "    [key, read] string InstanceName;\n"
    "    [read] boolean Active;\n"
    "    [WmiDataId(1), read] uint32 RxFifoSize;\n"
    "    [WmiDataId(2), read] uint32 TxFifoSize;\n"
    "    [WmiDataId(3), read] uint32 MaximumBaudRate;\n"
    "    [WmiDataId(4), read] uint32 PolicyType;\n"
    "    [WmiDataId(5), read] uint32 MaximumLatency;\n"
    "    [WmiDataId(6), read] uint32 MaximumLatencyFineTuning;\n"
    "    [WmiDataId(7), read] uint32 MaximumLatencySliderPos;\n"
    "    [WmiDataId(8), read] uint32 LowCpuUsageFineTuning;\n"
    "};\n"
    "\n"
    "[WMI, Dynamic, Provider(\"WMIProv\"), Locale(\"MS\\\\0x409\"),\n"
    " Description(\"State of the adapter's first port\"),\n"
    " guid(\"{3BBCB9DC-8F83-4777-AE87-3BD50D474E7B}\")]\n"
    "class Enumdrv_PortState\n"
    "{\n"
    "    [key, read] string InstanceName;\n"
    "    [read] boolean Active;\n"
    "    [WmiDataId(1), read] uint32 RxTransferSize;\n"
    "    [WmiDataId(2), read] uint32 TxTransferSize;\n"
    "    [WmiDataId(3), read, Description(\"Latency timer (ms)\")] uint32 LatencyTimer;\n"
    "    [WmiDataId(4), read] uint32 LastLineStatus;\n"
    "    [WmiDataId(5), read] uint32 LastModemStatus;\n"
    "    [WmiDataId(6), read] uint32 QueuedBytes;\n"
    "    [WmiDataId(7), read] uint32 TransmitterReleased;\n"
    "    [WmiDataId(8), read] uint32 ReceiveNotSuspended;\n"
    "    [WmiDataId(9), read] uint32 ModemControl;\n"
    "    [WmiDataId(10), read] uint32 FlowControlIndex;\n"
    "    [WmiDataId(11), read] uint32 BaudRateValue;\n"
    "    [WmiDataId(12), read] uint32 LineSettingsValue;\n"
    "    [WmiDataId(13), read] uint32 PortOpen;\n"
    "    [WmiDataId(14), read] uint32 DuplexMode;\n"
    "    [WmiDataId(15), read] uint8 DeliveryPending;\n"
    "    [WmiDataId(16), read] uint8 WriteInProgress;\n"
    "    [WmiDataId(17), read] uint8 XoffSent;\n"
    "    [WmiDataId(18), read] uint8 XoffReceived;\n"
    "};\n",
};

}  // namespace

const UCHAR* EnumdrvWmiBinaryMof(void)
{
    return reinterpret_cast<const UCHAR*>(&s_BinaryMof);
}
