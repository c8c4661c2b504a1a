// comcheck: the driver package at work, as a user sees it. Boots an emulated Windows machine,
// installs the bus and port drivers, plugs a simulated USB-serial adapter with a cable, opens its
// COM port as an application does, moves a block of random data through it and checks every byte,
// shows the port's status and the driver's statistics, and unplugs. Exits non-zero on any failure.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "com_port.h"
#include "lab.h"
#include "options.h"

namespace comcheck {
namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class Account {
public:
    Account(Lab& lab, bool verbose) : m_lab(lab), m_verbose(verbose) {}

    void Step(const std::string& text) { std::printf("[%9.1f ms] %s\n", m_lab.NowMs(), text.c_str()); Trace(); }
    void Detail(const std::string& text) { std::printf("               %s\n", text.c_str()); }
    bool Fail(const std::string& text)
    {
        Trace();
        std::printf("FAILED: %s\n", text.c_str());
        return false;
    }
    void Trace()
    {
        if (!m_verbose) return;
        for (const std::string& line : m_lab.TakeRequestLines()) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

private:
    Lab& m_lab;
    bool m_verbose;
};

std::vector<uint8_t> RandomBlock(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::vector<uint8_t> data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(generator());
    return data;
}

// Sends `data` from one port and reads it at the other (the same port on a loopback plug), with
// progress every tenth; the block must arrive whole and unchanged.
bool Transfer(Account& account, Lab& lab, ComPort& sender, ComPort& receiver, const std::vector<uint8_t>& data,
              unsigned long rate)
{
    const double start = lab.NowMs();
    if (!sender.StartWrite(data)) return account.Fail(sender.Error());
    std::vector<uint8_t> received;
    received.reserve(data.size());
    size_t nextReport = data.size() / 10;
    // A stall is judged in real time: on a slow host the machine clock runs ahead of the data,
    // which flow control holds back without losing any.
    auto lastProgress = std::chrono::steady_clock::now();
    while (received.size() < data.size()) {
        const size_t before = received.size();
        if (!receiver.ReadSome(received, std::min<size_t>(data.size() - before, 4096), 1000)) {
            account.Fail(receiver.Error());
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (received.size() != before) lastProgress = now;
        if (now - lastProgress > std::chrono::seconds(20))
            return account.Fail("nothing arrived for 20 s; " + std::to_string(received.size()) + " of " +
                                std::to_string(data.size()) + " bytes received");
        if (received.size() >= nextReport && received.size() < data.size()) {
            account.Detail("received " + std::to_string(received.size()) + " of " + std::to_string(data.size()) + " bytes (" +
                           std::to_string(received.size() * 100 / data.size()) + " %)");
            nextReport += data.size() / 10;
        }
    }
    DWORD written = 0;
    if (!sender.FinishWrite(written)) return account.Fail(sender.Error());
    const double ms = lab.NowMs() - start;
    if (std::memcmp(received.data(), data.data(), data.size()) != 0) {
        size_t at = 0;
        while (received[at] == data[at]) ++at;
        return account.Fail("the data differ first at byte " + std::to_string(at));
    }
    char text[160];
    const double bitsPerSecond = ms > 0 ? data.size() * 10.0 * 1000.0 / ms : 0;
    std::snprintf(text, sizeof text, "%zu bytes back intact in %.1f ms of machine time: %.0f baud, %.1f %% of the line",
                  data.size(), ms, bitsPerSecond, rate > 0 ? 100.0 * bitsPerSecond / rate : 0.0);
    account.Detail(text);
    return true;
}

bool ShowStatus(Account& account, const std::u16string& name, ComPort& port)
{
    PortStatus s;
    if (!port.Status(s)) return account.Fail(port.Error());
    char text[200];
    std::snprintf(text, sizeof text, "%s: errors 0x%lX, %lu bytes to read, %lu to send; CTS %s DSR %s RING %s RLSD %s",
                  Narrow(name).c_str(), static_cast<unsigned long>(s.errors), static_cast<unsigned long>(s.inQueue),
                  static_cast<unsigned long>(s.outQueue), s.modemStatus & MS_CTS_ON ? "on" : "off",
                  s.modemStatus & MS_DSR_ON ? "on" : "off", s.modemStatus & MS_RING_ON ? "on" : "off",
                  s.modemStatus & MS_RLSD_ON ? "on" : "off");
    account.Detail(text);
    std::snprintf(text, sizeof text,
                  "driver statistics: %lu received, %lu transmitted, %lu framing, %lu overrun, %lu buffer overrun, %lu parity",
                  static_cast<unsigned long>(s.received), static_cast<unsigned long>(s.transmitted),
                  static_cast<unsigned long>(s.frameErrors), static_cast<unsigned long>(s.overrunErrors),
                  static_cast<unsigned long>(s.bufferOverruns), static_cast<unsigned long>(s.parityErrors));
    account.Detail(text);
    if (s.errors != 0 || s.overrunErrors != 0 || s.bufferOverruns != 0 || s.frameErrors != 0 || s.parityErrors != 0)
        return account.Fail(Narrow(name) + " reports line or buffer errors");
    return true;
}

const char* ChipText(ChipKind chip) { return chip == ChipKind::TwoPort ? "a two-port adapter" : "a one-port adapter"; }
const char* CableText(CableKind cable)
{
    switch (cable) {
    case CableKind::Loopback:
        return "a loopback plug on its first port";
    case CableKind::NullModem:
        return "a null-modem cable between its two ports";
    case CableKind::None:
        return "nothing on its ports";
    }
    return "";
}

bool ExchangeData(Account& account, Lab& lab, const Options& options, const std::vector<std::u16string>& names)
{
    const bool rtsCts = options.cable != CableKind::None;
    const size_t needed = options.cable == CableKind::NullModem ? 2 : 1;
    if (names.size() < needed) return account.Fail("the adapter brought " + std::to_string(names.size()) + " COM ports");
    ComPort ports[2];
    for (size_t i = 0; i < needed; ++i) {
        account.Step("Opening " + Narrow(names[i]) + " and setting " + std::to_string(options.rate) + " 8N1" +
                     (rtsCts ? " with RTS/CTS" : " without flow control"));
        if (!ports[i].Open(names[i]) || !ports[i].Configure(options.rate, rtsCts)) return account.Fail(ports[i].Error());
    }
    const std::vector<uint8_t> data = RandomBlock(options.size, options.seed);
    if (options.cable == CableKind::None) {
        account.Step("Writing " + std::to_string(data.size()) + " random bytes to an open line");
        DWORD written = 0;
        if (!ports[0].StartWrite(data) || !ports[0].FinishWrite(written)) return account.Fail(ports[0].Error());
        account.Detail(std::to_string(written) + " bytes sent");
    } else if (options.cable == CableKind::Loopback) {
        account.Step("Writing " + std::to_string(data.size()) + " random bytes and reading them back");
        if (!Transfer(account, lab, ports[0], ports[0], data, options.rate)) return false;
    } else {
        for (int from : {0, 1}) {
            account.Step("Sending " + std::to_string(data.size()) + " random bytes from " + Narrow(names[from]) + " to " +
                         Narrow(names[1 - from]));
            if (!Transfer(account, lab, ports[from], ports[1 - from], data, options.rate)) return false;
        }
    }
    account.Step("Port status");
    for (size_t i = 0; i < needed; ++i)
        if (!ShowStatus(account, names[i], ports[i])) return false;
    account.Step("Closing the port" + std::string(needed > 1 ? "s" : ""));
    return true;
}

int Run(const Options& options)
{
    Lab lab(options);
    Account account(lab, options.verbose);
    account.Step("Booted an emulated machine (clock " + std::to_string(options.clockScale).substr(0, 5) + " times real time)");
    account.Step("Installing the driver package: Enumdrv39.sys (USB bus) and Portdrv39.sys (COM port)");
    lab.InstallDrivers({COMCHECK_ENUMDRV_IMAGE, COMCHECK_PORTDRV_IMAGE});
    account.Step(std::string("Plugging ") + ChipText(options.chip) + " with " + CableText(options.cable));
    if (!lab.Plug()) return account.Fail("the USB host refused the adapter"), 1;
    const std::vector<std::u16string> names = lab.PortNames();
    bool linked = true;
    for (const std::u16string& name : names) {
        linked = linked && lab.NameIsLinked(name);
        account.Detail(Narrow(name) + (lab.NameIsLinked(name) ? " is ready" : " has no DOS-device link"));
    }
    if (!linked || options.verbose)
        for (const std::string& line : lab.DeviceLines()) account.Detail(line);
    const bool ok = ExchangeData(account, lab, options, names);
    account.Step("Unplugging the adapter");
    lab.Unplug();
    bool released = true;
    for (const std::u16string& name : names)
        if (lab.NameIsLinked(name)) released = account.Fail(Narrow(name) + " still leads to a device after the unplug");
    if (!ok || !released) return 1;
    account.Step(options.cable == CableKind::None ? "Done: every byte was sent" : "Done: every byte arrived intact");
    return 0;
}

}  // namespace
}  // namespace comcheck

int main(int argc, char** argv)
{
    std::string error;
    const std::optional<comcheck::Options> options = comcheck::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "comcheck: %s\n%s", error.c_str(), comcheck::UsageText());
        return 2;
    }
    if (options->help) {
        std::printf("%s", comcheck::UsageText());
        return 0;
    }
    return comcheck::Run(*options);
}
