// The whole stack as applications use it: WriteFile and ReadFile on a COM port through both
// drivers, the USB host and the simulated chip, in one run and side by side.
//   (a) unpaced (line and bus as fast as they go): bytes a second and CPU nanoseconds a byte for
//       64- and 4096-byte writes read back through a loopback plug, next to a Linux pseudo-terminal
//       pair moving the same blocks;
//   (b) paced at 3,000,000 baud with RTS/CTS, the clock in real time: one port both ways at once,
//       and both ports of a two-port chip both ways (more than the full-speed frame budget);
//   (c) the latency of one byte with the chip's latency timer at 1, 2 and 16 ms.
// CPU time is the whole process's (the drivers' threads included).
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "lab.h"
#include "port_settings.h"

namespace {

double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double RealSeconds() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED write{}, read{};
};

bool OpenPort(const std::u16string& name, DWORD rate, Port& port)
{
    const std::u16string path = u"\\\\.\\" + name;
    port.handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port.handle == INVALID_HANDLE_VALUE) return false;
    port.write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port.read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetupComm(port.handle, 65536, 65536);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port.handle, &dcb);
    dcb.BaudRate = rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (!SetCommState(port.handle, &dcb)) return false;
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    return SetCommTimeouts(port.handle, &timeouts) != FALSE;
}

void ClosePort(Port& port)
{
    CloseHandle(port.write.hEvent);
    CloseHandle(port.read.hEvent);
    CloseHandle(port.handle);
}

DWORD Finish(Port& port, OVERLAPPED& overlapped)
{
    // Bounded: a transfer that stalls is cut off (CancelIo) and counts what it had moved.
    DWORD done = 0;
    if (!GetOverlappedResultEx(port.handle, &overlapped, &done, 5000, FALSE) && GetLastError() == WAIT_TIMEOUT) {
        CancelIoEx(port.handle, &overlapped);
        GetOverlappedResult(port.handle, &overlapped, &done, TRUE);
    }
    return done;
}

void StartWrite(Port& port, const uint8_t* data, DWORD size)
{
    ResetEvent(port.write.hEvent);
    DWORD done = 0;
    WriteFile(port.handle, data, size, &done, &port.write);
}

// Reads until `size` bytes have come, or the line stayed quiet for `quietSeconds` of real time.
size_t ReadBlock(Port& port, uint8_t* into, size_t size, double quietSeconds = 5)
{
    size_t got = 0;
    double last = RealSeconds();
    while (got < size && RealSeconds() - last < quietSeconds) {
        ResetEvent(port.read.hEvent);
        DWORD n = 0;
        if (!ReadFile(port.handle, into + got, static_cast<DWORD>(size - got), &n, &port.read)) n = Finish(port, port.read);
        if (n > 0) last = RealSeconds();
        got += n;
    }
    return got;
}

comcheck::Options LabOptions(bool paced, bool twoPorts, double scale)
{
    comcheck::Options options;
    options.paced = paced;
    options.chip = twoPorts ? comcheck::ChipKind::TwoPort : comcheck::ChipKind::OnePort;
    options.cable = comcheck::CableKind::Loopback;
    options.clockScale = scale;
    return options;
}

struct Throughput {
    double bytesPerSecond = 0;
    double cpuNsPerByte = 0;
};

// (a) through the stack: write a block, read it back, again and again.
Throughput StackRoundTrips(size_t block, size_t total)
{
    comcheck::Lab lab(LabOptions(false, false, 50));
    lab.InstallDrivers({BENCH_ENUMDRV_IMAGE, BENCH_PORTDRV_IMAGE});
    Throughput result;
    Port port;
    if (!lab.Plug() || !OpenPort(lab.PortNames().at(0), 921600, port)) return result;
    std::vector<uint8_t> out(block, 0x5A), in(block);
    const double real0 = RealSeconds(), cpu0 = CpuSeconds();
    size_t moved = 0;
    while (moved < total) {
        StartWrite(port, out.data(), static_cast<DWORD>(block));
        if (ReadBlock(port, in.data(), block) != block) break;
        Finish(port, port.write);
        moved += block;
    }
    const double real = RealSeconds() - real0, cpu = CpuSeconds() - cpu0;
    result = {moved / real, cpu * 1e9 / moved};
    ClosePort(port);
    lab.Unplug();
    return result;
}

// (a) the reference: a pseudo-terminal pair in raw mode, the same blocks.
Throughput PtyRoundTrips(size_t block, size_t total)
{
    int master = -1, slave = -1;
    Throughput result;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::vector<uint8_t> out(block, 0x5A), in(block);
    const double real0 = RealSeconds(), cpu0 = CpuSeconds();
    size_t moved = 0;
    while (moved < total) {
        if (write(master, out.data(), block) != static_cast<ssize_t>(block)) break;
        size_t got = 0;
        while (got < block) {
            const ssize_t n = read(slave, in.data() + got, block - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        moved += block;
    }
    const double real = RealSeconds() - real0, cpu = CpuSeconds() - cpu0;
    result = {moved / real, cpu * 1e9 / moved};
    close(master);
    close(slave);
    return result;
}

struct Paced {
    double lineFraction = 0;  // of the ports' line rate, both directions
    double frameFraction = 0; // of the full-speed frame budget the data needs on the bus
    long long lost = 0;
    double cpuPerMachineSecond = 0;
};

// (b) every port writes and reads at once for `seconds` of machine time at 3,000,000 baud.
Paced PacedBothWays(bool twoPorts, double seconds)
{
    constexpr DWORD kRate = 3000000;
    comcheck::Lab lab(LabOptions(true, twoPorts, 1));
    lab.InstallDrivers({BENCH_ENUMDRV_IMAGE, BENCH_PORTDRV_IMAGE});
    Paced result;
    if (!lab.Plug()) return result;
    std::vector<Port> ports(twoPorts ? 2 : 1);
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string error;
        if (!cvinstall::RaiseMaximumBaudRate(lab.Machine(), lab.PortNames().at(i), kRate, error) ||
            !OpenPort(lab.PortNames().at(i), kRate, ports[i])) {
            std::printf("  port %zu: %s\n", i + 1, error.c_str());
            return result;
        }
    }
    const double block = 16384;
    const double machine0 = lab.NowMs(), cpu0 = CpuSeconds();
    std::atomic<bool> stop{false};
    std::vector<long long> received(ports.size()), sent(ports.size());
    std::vector<std::thread> workers;
    for (size_t i = 0; i < ports.size(); ++i)
        workers.emplace_back([&, i] {
            std::vector<uint8_t> out(static_cast<size_t>(block)), in(static_cast<size_t>(block));
            for (size_t b = 0; b < out.size(); ++b) out[b] = static_cast<uint8_t>(b * 7 + i);
            while (!stop.load()) {
                StartWrite(ports[i], out.data(), static_cast<DWORD>(out.size()));
                received[i] += static_cast<long long>(ReadBlock(ports[i], in.data(), in.size()));
                sent[i] += Finish(ports[i], ports[i].write);
            }
        });
    while (lab.NowMs() - machine0 < seconds * 1000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread& worker : workers) worker.join();
    const double machineSeconds = (lab.NowMs() - machine0) / 1000, cpu = CpuSeconds() - cpu0;
    long long total = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        total += received[i];
        result.lost += sent[i] - received[i];
    }
    const double lineBytes = kRate / 10.0 * machineSeconds * static_cast<double>(ports.size());
    // Each byte crosses the bus twice (OUT to the chip, IN back); a frame carries 19 x 64 bytes.
    const double frameBudget = 19.0 * 64.0 * 1000.0 * machineSeconds;
    result.lineFraction = total / lineBytes;
    result.frameFraction = 2.0 * total / frameBudget;
    result.cpuPerMachineSecond = cpu / machineSeconds;
    for (Port& port : ports) ClosePort(port);
    lab.Unplug();
    return result;
}

struct Latency {
    int timerMs = 0;       // the chip's latency timer, as the driver set it
    double meanMs = 0;     // machine time from WriteFile to the byte read back, less its line time
};

// (c) one byte at a time, with MaximumLatency chosen for the timer wanted.
constexpr DWORD kLatencyRate = 115200;
// MaximumLatency in the serialised bus set: six numbers, InterfaceType "USB" (a 4-byte length, three
// characters and the terminator), then PolicyType.
constexpr size_t kMaximumLatencyOffset = 6 * sizeof(ULONG) + 8 + sizeof(ULONG);
Latency ByteLatency(ULONG maximumLatency, int rounds)
{
    comcheck::Lab lab(LabOptions(true, false, 1));
    lab.InstallDrivers({BENCH_ENUMDRV_IMAGE, BENCH_PORTDRV_IMAGE});
    Latency result;
    Port port;
    std::string error;
    if (!lab.Plug()) return result;
    const std::u16string name = lab.PortNames().at(0);
    const std::u16string path = cvinstall::PortConfigurationPath(lab.Machine(), name);
    if (!cvinstall::SetParameter(path, cvinstall::ParameterSet::Bus, kMaximumLatencyOffset, maximumLatency, error) ||
        !OpenPort(name, kLatencyRate, port)) {
        std::printf("  %s\n", error.c_str());
        return result;
    }
    uint8_t byte = 0x41, in = 0;
    double total = 0;
    for (int i = 0; i < rounds; ++i) {
        const double start = lab.NowMs();
        StartWrite(port, &byte, 1);
        ReadBlock(port, &in, 1);
        total += lab.NowMs() - start - 10.0 * 1000.0 / kLatencyRate;
        Finish(port, port.write);
    }
    result.meanMs = total / rounds;
    result.timerMs = lab.LatencyTimerMs();
    ClosePort(port);
    lab.Unplug();
    return result;
}

// With no argument every part runs; otherwise only the parts named ("a", "b", "c"), so that a
// profile can take one of them alone.
bool Wanted(int argc, char** argv, const char* part)
{
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], part) == 0) return true;
    return false;
}

void RunUnpaced()
{
    std::printf("(a) unpaced round trips through a loopback plug, next to an openpty pair\n");
    std::printf("    %6s  %14s  %12s  %14s  %12s  %10s\n", "block", "stack B/s", "stack ns/B", "pty B/s", "pty ns/B", "CPU ratio");
    for (size_t block : {size_t(64), size_t(4096)}) {
        const size_t total = block == 64 ? 64 * 1024 : 4 * 1024 * 1024;
        const Throughput stack = StackRoundTrips(block, total);
        const Throughput pty = PtyRoundTrips(block, total);
        std::printf("    %6zu  %14.0f  %12.1f  %14.0f  %12.1f  %10.1f\n", block, stack.bytesPerSecond, stack.cpuNsPerByte,
                    pty.bytesPerSecond, pty.cpuNsPerByte, stack.cpuNsPerByte / pty.cpuNsPerByte);
    }
}

void RunLatency()
{
    std::printf("(c) latency of one byte at 115200 baud (less its 0.09 ms on the line)\n");
    // At 115200 baud the specific-latency policy gives a 1 and 2 ms timer for MaximumLatency 1 and
    // 2, and 16 ms for the default 1040 (with the default fine tuning 0).
    for (ULONG maximumLatency : {1u, 2u, 1040u}) {
        const Latency l = ByteLatency(maximumLatency, 50);
        std::printf("    MaximumLatency %4lu: chip latency timer %d ms, mean %.2f ms\n", static_cast<unsigned long>(maximumLatency),
                    l.timerMs, l.meanMs);
    }
}

void RunPaced()
{
    std::printf("(b) paced at 3,000,000 baud with RTS/CTS, both ways at once, 2 s of machine time\n");
    for (bool two : {false, true}) {
        const Paced p = PacedBothWays(two, 2.0);
        std::printf("    %s: %.1f %% of line rate, %.1f %% of the frame budget, %lld bytes lost, %.1f %% of a core\n",
                    two ? "two ports" : "one port ", 100 * p.lineFraction, 100 * p.frameFraction, p.lost,
                    100 * p.cpuPerMachineSecond);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (Wanted(argc, argv, "a")) RunUnpaced();
    if (Wanted(argc, argv, "c")) RunLatency();
    if (Wanted(argc, argv, "b")) RunPaced();
    return 0;
}
