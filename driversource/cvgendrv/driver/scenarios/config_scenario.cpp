// The configuration interface as the property pages use it: find the port's interface instance by
// its driver key, open it, and read, change and reset the sets with the 8-byte header and the
// wire format of flags 3 (built here by hand, byte by byte). A set the driver refuses, or a
// payload that does not parse, changes nothing; a request forwarded once reaches the bus driver,
// which answers from the set of the port's ContextID.
#include "framework_scenario.h"

#include <cstring>
#include <string>

// The codes are shared with user mode; this executable does not see the tools library's folders.
#include "../../../../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"

namespace tfscenario {
namespace {

constexpr ULONG kDefaultIndex = TF_USERMODE_DEFAULT_SET_INDEX;

using Bytes = std::vector<uint8_t>;

void PutNumber(Bytes& bytes, ULONG value)
{
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// Flags 3: a 4-byte length, the ANSI text, a terminating zero.
void PutString(Bytes& bytes, const std::string& text)
{
    PutNumber(bytes, static_cast<ULONG>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

Bytes FuncSet(ULONG baudrate, ULONG dataBits, ULONG flags)
{
    Bytes bytes;
    PutNumber(bytes, baudrate);
    PutNumber(bytes, dataBits);
    PutNumber(bytes, flags);
    return bytes;
}

Bytes BusSet(ULONG speed, const std::string& name)
{
    Bytes bytes;
    PutNumber(bytes, speed);
    PutString(bytes, name);
    return bytes;
}

const Bytes kFuncDefaults = FuncSet(TFTEST_FUNC_SET_BAUD_DEFAULT, TFTEST_FUNC_SET_DATA_BITS_DEFAULT, TFTEST_FUNC_SET_FLAGS_DEFAULT);
const Bytes kBusDefaults = BusSet(TFTEST_BUS_SET_NUMBER_DEFAULT, TFTEST_BUS_SET_STRING_DEFAULT);

std::u16string Lower(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

ULONG NumberAt(const Bytes& bytes, size_t offset = 0)
{
    ULONG value = 0;
    if (bytes.size() >= offset + sizeof value) std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

struct Answer {
    bool ok = false;
    DWORD error = ERROR_SUCCESS;
    DWORD returned = 0;
    Bytes output;
};

class ConfigScenario : public FrameworkScenario {
protected:
    // The instance path as the pages find it: the enabled interface of the class whose last path
    // component is "cvgendrv_" + the device's driver key without backslashes, in any case.
    std::u16string ConfigPath(const GUID& classGuid, const std::u16string& driverKey)
    {
        std::u16string wanted = u"cvgendrv_";
        for (char16_t c : driverKey)
            if (c != u'\\') wanted.push_back(c);
        wanted = Lower(wanted);
        for (const emu::DeviceInterfaceInfo& entry : EnabledInterfaces(classGuid)) {
            size_t slash = entry.devicePath.find_last_of(u'\\');
            if (slash != std::u16string::npos && Lower(entry.devicePath.substr(slash + 1)) == wanted)
                return entry.devicePath;
        }
        return {};
    }
    std::u16string PortConfigPath(ULONG contextId)
    {
        auto node = ChildNode(contextId);
        return node ? ConfigPath(kPortInterfaceGuid, node->driverKey) : std::u16string();
    }
    std::u16string BusConfigPath()
    {
        auto node = BusNode();
        return node ? ConfigPath(kBusInterfaceGuid, node->driverKey) : std::u16string();
    }

    // One request with the header {count, index}, the payload after it, and `outputLength` bytes
    // of answer room. Each request opens its own handle, as the pages do.
    Answer Ask(const std::u16string& path, ULONG code, ULONG count, ULONG index, const Bytes& payload = {},
               size_t outputLength = 0)
    {
        Answer answer;
        HANDLE handle = Open(path);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        if (handle == INVALID_HANDLE_VALUE) return answer;
        Bytes input;
        PutNumber(input, count);
        PutNumber(input, index);
        input.insert(input.end(), payload.begin(), payload.end());
        answer.output.assign(outputLength, 0xEE);
        answer.ok = Control(handle, code, input, answer.output, &answer.returned, &answer.error);
        EXPECT_TRUE(CloseHandle(handle));
        return answer;
    }
    // GET_SIZE then GET_SET, as the pages read a set; the set's bytes.
    Bytes ReadSet(const std::u16string& path, ULONG count, ULONG index)
    {
        Answer size = Ask(path, IOCTL_TF_USERMODE_GET_SIZE, count, index, {}, 4);
        EXPECT_TRUE(size.ok) << size.error;
        EXPECT_EQ(size.returned, 4u);
        Answer set = Ask(path, IOCTL_TF_USERMODE_GET_SET, count, index, {}, NumberAt(size.output));
        EXPECT_TRUE(set.ok) << set.error;
        EXPECT_EQ(set.returned, set.output.size());
        return set.output;
    }
    // The Tffunc set as the device holds it in memory now.
    Bytes LiveFuncSet(ULONG contextId)
    {
        ControlResult result = SendControl(FunctionFdo(contextId), TFTEST_IOCTL_GET_LIVE_SET, {}, 64);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        result.output.resize(result.information);
        return result.output;
    }

    std::optional<ULONG> FuncValue(ULONG contextId, std::u16string_view subKey, std::u16string_view name)
    {
        return Reg().GetDword(HardwareKey(ChildInstancePath(contextId)) + u"\\" + std::u16string(subKey), name);
    }
    std::string BusString(std::u16string_view subKey, std::u16string_view name)
    {
        auto value = Reg().GetValue(HardwareKey(kBusInstancePath) + u"\\" + std::u16string(subKey), name);
        if (!value || value->type != REG_SZ) return "<none>";
        std::string text;
        for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
            if (c == 0) break;
            text.push_back(static_cast<char>(c));
        }
        return text;
    }
    // Entry-18 lines of an image since a mark, without the device serial ("index=1 phase=0 ...").
    std::vector<std::string> Applies(std::u16string_view service, size_t mark)
    {
        std::vector<std::string> lines;
        for (const std::string& line : Lines(Record(service, mark), "18 ")) {
            size_t space = line.find(' ', 3);
            lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return lines;
    }
};

TEST_F(ConfigScenario, PagesFindThePortInterfaceByDriverKeyAndReadItsSetAndDefaults)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (ULONG id : {1u, 2u}) {
        std::u16string path = PortConfigPath(id);
        ASSERT_FALSE(path.empty()) << id;
        EXPECT_EQ(path, PortInterfacePath(id));

        // Index -1 is the device's own set, index 1.
        for (ULONG index : {kDefaultIndex, 1u}) {
            Answer size = Ask(path, IOCTL_TF_USERMODE_GET_SIZE, 0, index, {}, 4);
            ASSERT_TRUE(size.ok) << size.error;
            EXPECT_EQ(size.returned, 4u);
            EXPECT_EQ(NumberAt(size.output), kFuncDefaults.size());
            EXPECT_EQ(ReadSet(path, 0, index), kFuncDefaults);
        }
        Answer defaultsSize = Ask(path, IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, 0, kDefaultIndex, {}, 4);
        ASSERT_TRUE(defaultsSize.ok) << defaultsSize.error;
        EXPECT_EQ(NumberAt(defaultsSize.output), kFuncDefaults.size());
        Answer defaults = Ask(path, IOCTL_TF_USERMODE_GET_DEFAULTS, 0, kDefaultIndex, {}, kFuncDefaults.size());
        ASSERT_TRUE(defaults.ok) << defaults.error;
        EXPECT_EQ(defaults.output, kFuncDefaults);
    }

    std::u16string path = PortConfigPath(1);
    // Length rules: the answer room must match the set exactly, a size needs 4 bytes.
    Answer tooLong = Ask(path, IOCTL_TF_USERMODE_GET_SET, 0, 1, {}, kFuncDefaults.size() + 1);
    EXPECT_FALSE(tooLong.ok);
    EXPECT_EQ(tooLong.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Answer shortSize = Ask(path, IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 3);
    EXPECT_EQ(shortSize.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A port has one set: index 2 and index 0 are nobody's, and no key is made for them.
    for (ULONG index : {2u, 0u}) {
        Answer other = Ask(path, IOCTL_TF_USERMODE_GET_SET, 0, index, {}, kFuncDefaults.size());
        EXPECT_FALSE(other.ok) << index;
        EXPECT_EQ(other.error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << index;
    }
    EXPECT_EQ(Take(emu::Violation::AssertReport), 2u);
    EXPECT_FALSE(Reg().KeyExists(HardwareKey(ChildInstancePath(1)) + u"\\UI2"));
    EXPECT_FALSE(Reg().KeyExists(HardwareKey(ChildInstancePath(1)) + u"\\UI0"));
    // A code outside the six.
    Answer unknown = Ask(path, IOCTL_TF_USERMODE_GET_DEFAULTS + 4, 0, 1, {}, 4);
    EXPECT_EQ(unknown.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ConfigScenario, SetAndResetChangeTheStoredAndTheLiveValuesOfThatPortOnly)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    std::u16string path = PortConfigPath(1);
    size_t mark = RecordMark(kFuncService);

    Answer set = Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, FuncSet(19200, 7, 5));
    ASSERT_TRUE(set.ok) << set.error;
    EXPECT_EQ(set.returned, 0u);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_BAUD), 19200u);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_DATA_BITS), 7u);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_FLAGS), 5u);
    EXPECT_EQ(FuncValue(1, u"UI1\\Default", TFTEST_FUNC_SET_BAUD), TFTEST_FUNC_SET_BAUD_DEFAULT);
    EXPECT_EQ(Applies(kFuncService, mark), (std::vector<std::string>{"index=1 phase=0 Baudrate=19200 DataBits=7 Flags=5"}));
    EXPECT_EQ(LiveFuncSet(1), FuncSet(19200, 7, 5));
    EXPECT_EQ(ReadSet(path, 0, kDefaultIndex), FuncSet(19200, 7, 5));

    // Reading the defaults passes them through: the device keeps working with its values.
    Answer defaults = Ask(path, IOCTL_TF_USERMODE_GET_DEFAULTS, 0, kDefaultIndex, {}, kFuncDefaults.size());
    ASSERT_TRUE(defaults.ok) << defaults.error;
    EXPECT_EQ(defaults.output, kFuncDefaults);
    EXPECT_EQ(LiveFuncSet(1), FuncSet(19200, 7, 5));

    // The other port is untouched.
    EXPECT_EQ(FuncValue(2, u"UI1", TFTEST_FUNC_SET_BAUD), TFTEST_FUNC_SET_BAUD_DEFAULT);
    EXPECT_EQ(LiveFuncSet(2), kFuncDefaults);

    mark = RecordMark(kFuncService);
    Answer reset = Ask(path, IOCTL_TF_USERMODE_RESET_TO_DEFAULTS, 0, kDefaultIndex);
    ASSERT_TRUE(reset.ok) << reset.error;
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_BAUD), TFTEST_FUNC_SET_BAUD_DEFAULT);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_FLAGS), TFTEST_FUNC_SET_FLAGS_DEFAULT);
    EXPECT_EQ(Applies(kFuncService, mark), (std::vector<std::string>{"index=1 phase=0 Baudrate=9600 DataBits=8 Flags=0"}));
    EXPECT_EQ(LiveFuncSet(1), kFuncDefaults);
    EXPECT_EQ(ReadSet(path, 0, kDefaultIndex), kFuncDefaults);
}

TEST_F(ConfigScenario, RefusedSetLeavesTheStoredAndTheLiveValuesAsTheyWere)
{
    SetRefuseValue(kFuncService, 115200);
    SetRefuseValue(kBusService, 5000);
    WriteBusRegistry({{1}, {2}});
    Reg().SetString(HardwareKey(ChildInstancePath(1)), u"SymbolicLinkName", u"TFCCOM");
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    std::u16string path = PortConfigPath(1);
    ASSERT_TRUE(Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, FuncSet(19200, 7, 5)).ok);
    size_t mark = RecordMark(kFuncService);

    Answer refused = Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, FuncSet(115200, 8, 1));
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(Applies(kFuncService, mark),
              (std::vector<std::string>{"index=1 phase=0 Baudrate=115200 DataBits=8 Flags=1 refused"}));
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_BAUD), 19200u);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_DATA_BITS), 7u);
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_FLAGS), 5u);
    EXPECT_EQ(LiveFuncSet(1), FuncSet(19200, 7, 5));
    EXPECT_EQ(ReadSet(path, 0, kDefaultIndex), FuncSet(19200, 7, 5));

    // The refused value was never stored, so the next open of the port, which applies the
    // stored set, works.
    mark = RecordMark(kFuncService);
    HANDLE port = Open(u"\\\\.\\TFCCOM");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(Applies(kFuncService, mark), (std::vector<std::string>{"index=1 phase=0 Baudrate=19200 DataBits=7 Flags=5"}));
    mark = RecordMark(kFuncService);
    ASSERT_TRUE(Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, FuncSet(38400, 8, 0)).ok);
    EXPECT_EQ(Applies(kFuncService, mark), (std::vector<std::string>{"index=1 phase=0 Baudrate=38400 DataBits=8 Flags=0"}));

    // The bus set holds a string, so its size shows what the bus holds in memory: an index
    // beyond the sets is answered from memory without loading.
    std::u16string bus = BusConfigPath();
    ASSERT_FALSE(bus.empty());
    EXPECT_EQ(ReadSet(bus, 0, 2), kBusDefaults);
    Answer busRefused = Ask(bus, IOCTL_TF_USERMODE_SET_SET, 0, 2, BusSet(5000, "A MUCH LONGER NAME"));
    EXPECT_FALSE(busRefused.ok);
    EXPECT_EQ(busRefused.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    Answer held = Ask(bus, IOCTL_TF_USERMODE_GET_SIZE, 0, 3, {}, 4);
    ASSERT_TRUE(held.ok) << held.error;
    EXPECT_EQ(NumberAt(held.output), kBusDefaults.size());
    EXPECT_EQ(BusString(u"UI2", TFTEST_BUS_SET_STRING), TFTEST_BUS_SET_STRING_DEFAULT);
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath) + u"\\UI2", TFTEST_BUS_SET_NUMBER),
              TFTEST_BUS_SET_NUMBER_DEFAULT);
}

TEST_F(ConfigScenario, MalformedSetChangesNothing)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    std::u16string path = PortConfigPath(1);
    ASSERT_TRUE(Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, FuncSet(19200, 7, 5)).ok);
    size_t mark = RecordMark(kFuncService);

    // Cut inside the second number: the first would already have been taken.
    Bytes cut = FuncSet(57600, 6, 1);
    cut.resize(6);
    Answer truncated = Ask(path, IOCTL_TF_USERMODE_SET_SET, 0, kDefaultIndex, cut);
    EXPECT_FALSE(truncated.ok);
    EXPECT_EQ(truncated.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_GE(Take(emu::Violation::AssertReport), 1u);  // the reader reports the short data
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_BAUD), 19200u);
    EXPECT_EQ(LiveFuncSet(1), FuncSet(19200, 7, 5));

    // A header cut short, and a forwarding count nobody serves.
    HANDLE handle = Open(path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Bytes none;
    DWORD error = 0;
    EXPECT_FALSE(Control(handle, IOCTL_TF_USERMODE_SET_SET, Bytes{0, 0, 0, 0}, none, nullptr, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(Applies(kFuncService, mark).empty());

    // A string whose length runs past the data: the number before it is not kept either.
    std::u16string bus = BusConfigPath();
    Bytes badString;
    PutNumber(badString, 4242);
    PutNumber(badString, 200);
    badString.insert(badString.end(), {'A', 'B', 0});
    Answer busBad = Ask(bus, IOCTL_TF_USERMODE_SET_SET, 0, 1, badString);
    EXPECT_FALSE(busBad.ok);
    EXPECT_EQ(busBad.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_GE(Take(emu::Violation::AssertReport), 1u);
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath) + u"\\UI1", TFTEST_BUS_SET_NUMBER),
              TFTEST_BUS_SET_NUMBER_DEFAULT);
    EXPECT_EQ(ReadSet(bus, 0, 1), kBusDefaults);
}

TEST_F(ConfigScenario, ForwardedOnceTheBusAnswersFromTheSetOfThePortsContextId)
{
    ASSERT_EQ(Plug({{1}, {2}}), STATUS_SUCCESS);
    std::u16string bus = BusConfigPath();
    ASSERT_FALSE(bus.empty());
    EXPECT_EQ(bus, BusInterfacePath());
    ASSERT_TRUE(Ask(bus, IOCTL_TF_USERMODE_SET_SET, 0, 2, BusSet(2222, "SECOND")).ok);

    // Index -1 from a port becomes its ContextID at the bus.
    EXPECT_EQ(ReadSet(PortConfigPath(1), 1, kDefaultIndex), kBusDefaults);
    EXPECT_EQ(ReadSet(PortConfigPath(2), 1, kDefaultIndex), BusSet(2222, "SECOND"));
    // An explicit index passes unchanged.
    EXPECT_EQ(ReadSet(PortConfigPath(1), 1, 2), BusSet(2222, "SECOND"));
    Answer defaults = Ask(PortConfigPath(2), IOCTL_TF_USERMODE_GET_DEFAULTS, 1, kDefaultIndex, {}, kBusDefaults.size());
    ASSERT_TRUE(defaults.ok) << defaults.error;
    EXPECT_EQ(defaults.output, kBusDefaults);

    // A forwarded SET changes the bus's set of that port, not the port's own.
    size_t busMark = RecordMark(kBusService);
    size_t funcMark = RecordMark(kFuncService);
    Answer set = Ask(PortConfigPath(1), IOCTL_TF_USERMODE_SET_SET, 1, kDefaultIndex, BusSet(3333, "FWD"));
    ASSERT_TRUE(set.ok) << set.error;
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath) + u"\\UI1", TFTEST_BUS_SET_NUMBER), 3333u);
    EXPECT_EQ(BusString(u"UI1", TFTEST_BUS_SET_STRING), "FWD");
    EXPECT_EQ(BusString(u"UI2", TFTEST_BUS_SET_STRING), "SECOND");
    EXPECT_EQ(Applies(kBusService, busMark), (std::vector<std::string>{"index=1 phase=0 BusSpeed=3333 BusName=FWD"}));
    EXPECT_TRUE(Applies(kFuncService, funcMark).empty());
    EXPECT_EQ(FuncValue(1, u"UI1", TFTEST_FUNC_SET_BAUD), TFTEST_FUNC_SET_BAUD_DEFAULT);

    // The bus checks the caller's real answer room: an input as long as the set does not
    // stretch a 4-byte output to hold it.
    Bytes padding(BusSet(3333, "FWD").size() - TF_USERMODE_REQUEST_HEADER_SIZE, 0);
    Answer stretched = Ask(PortConfigPath(1), IOCTL_TF_USERMODE_GET_SET, 1, kDefaultIndex, padding, 4);
    EXPECT_FALSE(stretched.ok);
    EXPECT_EQ(stretched.returned, 0u);

    // Count 2 is refused at the port; nothing reaches the bus.
    busMark = RecordMark(kBusService);
    Answer twice = Ask(PortConfigPath(1), IOCTL_TF_USERMODE_SET_SET, 2, kDefaultIndex, BusSet(4444, "TWICE"));
    EXPECT_FALSE(twice.ok);
    EXPECT_EQ(twice.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Answer twiceSize = Ask(PortConfigPath(1), IOCTL_TF_USERMODE_GET_SIZE, 2, kDefaultIndex, {}, 4);
    EXPECT_EQ(twiceSize.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Applies(kBusService, busMark).empty());
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath) + u"\\UI1", TFTEST_BUS_SET_NUMBER), 3333u);

    // The bus is the lowest layer: below it is no framework driver to forward to.
    Answer fromBus = Ask(bus, IOCTL_TF_USERMODE_GET_SIZE, 1, 1, {}, 4);
    EXPECT_FALSE(fromBus.ok);
    EXPECT_EQ(fromBus.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
}  // namespace tfscenario
