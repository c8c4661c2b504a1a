// BuildCommDCB and BuildCommDCBAndTimeouts: a device-control block from a mode string.
//
// The string takes the mode command's forms, after an optional "COMn" or "COMn:":
//   old  "96,n,8,1" or "9600,e,7,2,x": baud, parity, data bits, stop bits and a last field of x
//        (XON/XOFF) or p (hardware handshake), commas between, empty fields left out;
//   new  "baud=9600 parity=n data=8 stop=1 to=on xon=off odsr=off octs=off dtr=on rts=hs idsr=off".
// The two forms do not mix. Only the members the string names change, except that flow control
// starts from "none" (DTR and RTS on, no XON/XOFF or hardware handshake) and a 110 baud rate with
// no stop bits given takes two. "to=on" gives a one-minute total write time-out and no others,
// "to=off" no time-outs at all; without "to" the time-outs are left alone. A string the parser
// refuses leaves the block and the time-outs as they were.
#include "win32_subsystem.h"

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::win32 {

namespace {

constexpr DWORD kWriteTimeoutOn = 60000;

std::string Lower(std::u16string_view text)
{
    std::string lower;
    for (char16_t c : text) lower.push_back(c < 0x80 ? static_cast<char>(std::tolower(static_cast<int>(c))) : '\x7F');
    return lower;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> Split(std::string_view text, bool atCommas)
{
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        const bool separator = !end && (atCommas ? text[i] == ',' : std::isspace(static_cast<unsigned char>(text[i])));
        if (!end && !separator) continue;
        std::string_view field = atCommas ? Trim(text.substr(start, i - start)) : text.substr(start, i - start);
        if (atCommas || !field.empty()) fields.push_back(field);
        start = i + 1;
    }
    return fields;
}

std::optional<DWORD> Number(std::string_view text)
{
    if (text.empty() || text.size() > 9) return std::nullopt;
    DWORD value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<DWORD>(c - '0');
    }
    return value;
}

// The optional device name in front: "COM" and a port number, with or without a colon.
std::optional<std::string_view> AfterDevice(std::string_view text)
{
    text = Trim(text);
    if (text.substr(0, 3) != "com") return text;
    size_t digits = 3;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    const std::optional<DWORD> port = Number(text.substr(3, digits - 3));
    if (!port || *port == 0) return std::nullopt;
    text.remove_prefix(digits);
    if (!text.empty() && text.front() == ':') text.remove_prefix(1);
    return Trim(text);
}

class ModeParser {
public:
    explicit ModeParser(const DCB& start) : m_dcb(start) {}

    bool Parse(std::string_view settings)
    {
        if (settings.empty()) return true;
        ResetFlowControl();
        const bool ok = settings.find('=') != std::string_view::npos ? ParseNew(settings) : ParseOld(settings);
        if (ok && m_dcb.BaudRate == CBR_110 && m_baudGiven && !m_stopGiven) m_dcb.StopBits = TWOSTOPBITS;
        return ok;
    }

    const DCB& Dcb() const { return m_dcb; }
    // Whether "to=on" or "to=off" was given, and which.
    std::optional<bool> Timeouts() const { return m_timeouts; }

private:
    void ResetFlowControl()
    {
        m_dcb.fOutX = m_dcb.fInX = FALSE;
        m_dcb.fOutxCtsFlow = m_dcb.fOutxDsrFlow = FALSE;
        m_dcb.fDtrControl = DTR_CONTROL_ENABLE;
        m_dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }

    bool Baud(std::string_view text)
    {
        static constexpr struct {
            DWORD shortForm;
            DWORD rate;
        } kShortForms[] = {{11, 110}, {15, 150}, {30, 300},   {60, 600},  {12, 1200},
                           {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
        std::optional<DWORD> rate = Number(text);
        if (!rate || *rate == 0) return false;
        for (const auto& form : kShortForms)
            if (*rate == form.shortForm) rate = form.rate;
        m_dcb.BaudRate = *rate;
        m_baudGiven = true;
        return true;
    }

    bool Parity(std::string_view text)
    {
        static constexpr std::string_view kLetters = "neoms";  // NOPARITY ... SPACEPARITY in order
        static constexpr BYTE kParities[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
        if (text.size() != 1 || kLetters.find(text[0]) == std::string_view::npos) return false;
        m_dcb.Parity = kParities[kLetters.find(text[0])];
        m_dcb.fParity = m_dcb.Parity != NOPARITY;
        return true;
    }

    bool DataBits(std::string_view text)
    {
        const std::optional<DWORD> bits = Number(text);
        if (!bits || *bits < 5 || *bits > 8) return false;
        m_dcb.ByteSize = static_cast<BYTE>(*bits);
        return true;
    }

    bool StopBits(std::string_view text)
    {
        if (text == "1") m_dcb.StopBits = ONESTOPBIT;
        else if (text == "1.5") m_dcb.StopBits = ONE5STOPBITS;
        else if (text == "2") m_dcb.StopBits = TWOSTOPBITS;
        else return false;
        m_stopGiven = true;
        return true;
    }

    // The old form's last field: x for XON/XOFF, p for the hardware handshake.
    bool Handshake(std::string_view text)
    {
        if (text == "x") {
            m_dcb.fOutX = m_dcb.fInX = TRUE;
        } else if (text == "p") {
            m_dcb.fOutxCtsFlow = m_dcb.fOutxDsrFlow = TRUE;
            m_dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            m_dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
        return true;
    }

    bool ParseOld(std::string_view settings)
    {
        const std::vector<std::string_view> fields = Split(settings, true);
        if (fields.size() > 5) return false;
        using Field = bool (ModeParser::*)(std::string_view);
        static constexpr Field kFields[] = {&ModeParser::Baud, &ModeParser::Parity, &ModeParser::DataBits,
                                            &ModeParser::StopBits, &ModeParser::Handshake};
        for (size_t i = 0; i < fields.size(); ++i)
            if (!fields[i].empty() && !(this->*kFields[i])(fields[i])) return false;
        return true;
    }

    static std::optional<bool> OnOff(std::string_view text)
    {
        if (text == "on") return true;
        if (text == "off") return false;
        return std::nullopt;
    }

    // A switch of the new form; `set` takes on (true) or off (false).
    template <typename Set>
    static bool Switch(std::string_view text, Set set)
    {
        const std::optional<bool> on = OnOff(text);
        if (on) set(*on);
        return on.has_value();
    }

    bool LineMode(std::string_view text, bool rts)
    {
        DWORD mode;
        if (text == "on") mode = rts ? RTS_CONTROL_ENABLE : DTR_CONTROL_ENABLE;
        else if (text == "off") mode = rts ? RTS_CONTROL_DISABLE : DTR_CONTROL_DISABLE;
        else if (text == "hs") mode = rts ? RTS_CONTROL_HANDSHAKE : DTR_CONTROL_HANDSHAKE;
        else if (text == "tg" && rts) mode = RTS_CONTROL_TOGGLE;
        else return false;
        if (rts) m_dcb.fRtsControl = mode;
        else m_dcb.fDtrControl = mode;
        return true;
    }

    bool Keyword(std::string_view key, std::string_view value)
    {
        if (key == "baud") return Baud(value);
        if (key == "parity") return Parity(value);
        if (key == "data") return DataBits(value);
        if (key == "stop") return StopBits(value);
        if (key == "dtr") return LineMode(value, false);
        if (key == "rts") return LineMode(value, true);
        if (key == "to") return Switch(value, [this](bool on) { m_timeouts = on; });
        if (key == "xon") return Switch(value, [this](bool on) { m_dcb.fOutX = m_dcb.fInX = on; });
        if (key == "odsr") return Switch(value, [this](bool on) { m_dcb.fOutxDsrFlow = on; });
        if (key == "octs") return Switch(value, [this](bool on) { m_dcb.fOutxCtsFlow = on; });
        if (key == "idsr") return Switch(value, [this](bool on) { m_dcb.fDsrSensitivity = on; });
        return false;
    }

    bool ParseNew(std::string_view settings)
    {
        for (std::string_view token : Split(settings, false)) {
            const size_t equals = token.find('=');
            if (equals == std::string_view::npos || !Keyword(token.substr(0, equals), token.substr(equals + 1)))
                return false;
        }
        return true;
    }

    DCB m_dcb;
    bool m_baudGiven = false;
    bool m_stopGiven = false;
    std::optional<bool> m_timeouts;
};

BOOL Build(std::u16string_view definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts, bool takesTimeouts)
{
    const std::string lower = Lower(definition);
    const std::optional<std::string_view> settings = AfterDevice(lower);
    ModeParser parser(*dcb);
    if (!settings || !parser.Parse(*settings) || (takesTimeouts && parser.Timeouts() && !timeouts)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dcb = parser.Dcb();
    if (takesTimeouts && parser.Timeouts()) {
        *timeouts = COMMTIMEOUTS{};
        if (*parser.Timeouts()) timeouts->WriteTotalTimeoutConstant = kWriteTimeoutOn;
    }
    return TRUE;
}

BOOL BuildChecked(const WCHAR* definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts, bool takesTimeouts)
{
    if (!definition || !dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(definition, dcb, timeouts, takesTimeouts);
}

}  // namespace

}  // namespace emu::win32

extern "C" BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB)
{
    return emu::win32::BuildChecked(lpDef, lpDCB, nullptr, false);
}

extern "C" BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return emu::win32::BuildChecked(lpDef, lpDCB, lpCommTimeouts, true);
}

extern "C" BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
{
    if (!lpDef) return BuildCommDCBW(nullptr, lpDCB);
    return BuildCommDCBW(emu::win32::FromAnsi(lpDef).c_str(), lpDCB);
}

extern "C" BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef) return BuildCommDCBAndTimeoutsW(nullptr, lpDCB, lpCommTimeouts);
    return BuildCommDCBAndTimeoutsW(emu::win32::FromAnsi(lpDef).c_str(), lpDCB, lpCommTimeouts);
}
