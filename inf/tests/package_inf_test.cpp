// The package's two INF files: the IDs they install on (the adapter table's), their classes, and
// the values their .HW sections write, which are the ones the drivers read.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "adapter_table.h"
#include "cm/registry.h"
#include "inf_actions.h"
#include "inf_store.h"
#include "machine_test.h"

namespace {

using emu::setup::InfFile;

InfFile Load(const char* name)
{
    std::ifstream file(std::string(CV_PACKAGE_INF_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_FALSE(text.str().empty()) << name;
    return InfFile::Parse(emu::setup::Widen(name), text.str());
}

std::vector<std::u16string> ModelIds(const InfFile& inf)
{
    emu::setup::InfStore store;
    store.Add(inf);
    std::vector<std::u16string> ids;
    for (const auto& [id, driver] : store.Models()) ids.push_back(id);
    return ids;
}

TEST(PackageInfTest, TheInfFilesInstallOnTheAdapterTablesIdsInTheirClasses)
{
    const InfFile bus = Load("ENUMDRV.INF");
    const InfFile ports = Load("PORTDRV.INF");
    EXPECT_EQ(ModelIds(bus), cvpackage::BusDriverIds());
    EXPECT_EQ(ModelIds(ports), (std::vector<std::u16string>{cvpackage::kRs232PortId, cvpackage::kRs485PortId}));
    EXPECT_EQ(bus.Value(u"Version", u"Class"), u"USB");
    EXPECT_EQ(ports.Value(u"Version", u"Class"), u"Ports");
    emu::setup::InfStore store;
    store.Add(bus);
    store.Add(ports);
    for (const std::u16string& id : cvpackage::BusDriverIds()) EXPECT_EQ(store.SelectDriver({id}, {})->service, u"Enumdrv39");
    EXPECT_EQ(store.SelectDriver({cvpackage::kRs485PortId}, {})->service, u"Portdrv39");
    // Every adapter ID Setup and the Remover look for: the bus IDs and the two-port chip's own.
    EXPECT_EQ(cvpackage::AllAdapterIds().size(), cvpackage::BusDriverIds().size() + 1);
}

class PackageInfValuesTest : public emu::testing::MachineTest {
protected:
    // The values a .HW section writes under a fresh key.
    std::u16string Write(const InfFile& inf, const char16_t* section)
    {
        const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\TEST\\" + std::u16string(section);
        EXPECT_EQ(emu::setup::RunAddReg(machine(), inf, section, key), 0ul);
        return key;
    }
    std::optional<ULONG> Dword(const std::u16string& key, const char16_t* name) { return machine().GetRegistry().GetDword(key, name); }
    std::u16string String(const std::u16string& key, const char16_t* name)
    {
        std::optional<emu::RegistryValue> value = machine().GetRegistry().GetValue(key, name);
        if (!value || value->type != REG_SZ) return u"<none>";
        std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2);
        while (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }
};

TEST_F(PackageInfValuesTest, TheBusInfWritesTheBusDeviceItsPortChildAndEachInterfacesEndpoints)
{
    const InfFile bus = Load("ENUMDRV.INF");
    struct Case {
        const char16_t* section;
        ULONG interface;
    } cases[] = {{u"BusPort0.NTamd64.HW", 0}, {u"BusPort1.NTamd64.HW", 1}};
    for (const Case& c : cases) {
        const std::u16string key = Write(bus, c.section);
        EXPECT_EQ(Dword(key, u"TypeOfDevice"), ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(String(key, u"DeviceName"), u"CvUsbBus");
        EXPECT_EQ(Dword(key, u"DeviceIndexingPolicyType"), 0x101u);  // counted, and the number passed on
        EXPECT_EQ(Dword(key, u"NumberChildDevices"), 1u);
        EXPECT_EQ(Dword(key, u"LowestStackLayer"), 1u);
        EXPECT_EQ(String(key, u"CoInstallerDLL"), u"Portpanel39.dll");
        EXPECT_EQ(String(key, u"CoInstallerEntryPoint"), u"CvUCoInstallCard");
        const std::u16string child = key + u"\\Child1";
        EXPECT_EQ(Dword(child, u"ContextID"), 1u);
        EXPECT_EQ(Dword(child, u"TypeOfDevice"), ULONG(FILE_DEVICE_SERIAL_PORT));
        EXPECT_EQ(String(child, u"DeviceName"), u"CvUsbPort");
        EXPECT_EQ(String(child, u"DeviceTextDescription"), u"USB Serial Port");
        EXPECT_EQ(String(child, u"BusQueryDeviceID"), cvpackage::kRs232PortId);
        EXPECT_EQ(String(child, u"BusQueryHardwareIDs"), cvpackage::kRs232PortId);
        EXPECT_EQ(String(child, u"BusQueryInstanceID"), u"0001");
        EXPECT_EQ(String(child, u"BusTypeGuid"), u"{B5F1A7C3-2D4E-4F60-8A91-0C3D5E7F9B21}");
        EXPECT_EQ(Dword(child, u"LegacyBusType"), ULONG(PNPBus));
        EXPECT_EQ(Dword(child, u"Address"), c.interface + 1);
        EXPECT_EQ(Dword(child, u"UINumber"), c.interface + 1);
        EXPECT_EQ(Dword(key + u"\\USB", u"SelectedConfiguration"), 0u);
        const std::u16string in = key + u"\\USB\\EndPoint1", out = key + u"\\USB\\EndPoint2";
        EXPECT_EQ(Dword(in, u"EndPointHandle"), 1u);
        EXPECT_EQ(Dword(in, u"EndPointAddress"), 0x81 + 2 * c.interface);
        EXPECT_EQ(Dword(in, u"CallbackNeeded"), 1u);
        EXPECT_EQ(Dword(out, u"EndPointHandle"), 2u);
        EXPECT_EQ(Dword(out, u"EndPointAddress"), 0x02 + 2 * c.interface);
        for (const std::u16string& endpoint : {in, out}) {
            EXPECT_EQ(Dword(endpoint, u"InterfaceNumber"), c.interface);
            EXPECT_EQ(Dword(endpoint, u"EndPointType"), 2u);
        }
    }
}

TEST_F(PackageInfValuesTest, ThePortInfWritesThePortDeviceAndItsCoInstaller)
{
    const InfFile ports = Load("PORTDRV.INF");
    const std::u16string key = Write(ports, u"ComPort.NTamd64.HW");
    EXPECT_EQ(Dword(key, u"TypeOfDevice"), ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(String(key, u"DeviceName"), u"CvUsbCom");
    EXPECT_EQ(Dword(key, u"DeviceIndexingPolicyType"), 1u);
    EXPECT_EQ(Dword(key, u"LowestStackLayer"), 1u);
    EXPECT_EQ(String(key, u"CoInstallerDLL"), u"Portpanel39.dll");
    EXPECT_EQ(String(key, u"CoInstallerEntryPoint"), u"CvUCoInstallPort");
    EXPECT_EQ(String(key, u"PortName"), u"<none>");  // the Ports class installer's
    const std::u16string coKey = Write(ports, u"ComPort.NTamd64.CoInstallers");
    EXPECT_EQ(machine().GetRegistry().GetValue(coKey, u"CoInstallers32")->type, ULONG(REG_MULTI_SZ));
}

}  // namespace
