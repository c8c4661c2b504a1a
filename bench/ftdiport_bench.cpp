// The data path of Enumdrv39.sys's FTDI port through ISerial, with a loopback plug on the
// simulated chip, so every byte written comes back: a light client plays the port driver (it keeps
// at most 64 KiB handed over and not yet confirmed, and counts and checks what comes back).
//
// Parameters the benchmark sets on the port: MaximumBaudRate 3,000,000 (pushed to the port object),
// the rate, 8N1, receive trigger level 14 (operation 8) so the latency policy sizes the bulk IN
// transfers (SpecificLatencyTime, MaximumLatency 1040: 16 ms and 4096 bytes at 3,000,000 baud), and
// RTS/CTS flow control (operation 9) so the chip holds the sender when its receive buffer fills (an
// unpaced line delivers at once, so without it the chip would overrun).
//
// BM_Unpaced: bus and chip unpaced, the chip's buffers 256 KiB (see Rig); bytes per second each way
// and process CPU time per byte, for 4096-byte writes. BM_Pty: the same blocks through a Linux pseudo-terminal pair, same run.
// BM_Paced: machine time at real time for 3 s, full-speed frame budget, 3,000,000 baud both ways
// at once: the fraction of the line rate received, bytes lost, CPU seconds per machine second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "adapter_rig.h"
#include "cable.h"
#include "ftdi1port.h"
#include "ftdi_chip_device.h"
#include "machine.h"
#include "tfbuffer.h"
#include "tfmemorytracker.h"
#include "usb_host.h"

namespace {

using namespace enumdrvtest;
namespace chip = emu::devices;

constexpr ULONG kBlock = 4096;
constexpr ULONG kWindow = 64 * 1024;
constexpr ULONG kRate = 3000000;
constexpr size_t kUnpacedBuffer = 256 * 1024;

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The port driver's part: credit from the write reports, and the received bytes checked against
// the sequence written.
class Client {
public:
    explicit Client(ISerial* pISerial) : m_pISerial(pISerial)
    {
        pISerial->m_Callbacks.pRead = sm_Read;
        pISerial->m_Callbacks.pDataWritten = sm_Written;
        pISerial->m_Callbacks.pAvailableReceiveBufferSize = sm_Room;
        pISerial->m_pContext = this;
    }
    ~Client() { m_pISerial->m_pContext = nullptr; }

    // Hands over one block when the window has room; false when it has none.
    bool TryWrite()
    {
        if (m_handed - m_confirmed.load() + kBlock > kWindow + m_initialCredit) return false;
        CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
        if (pBuffer == nullptr || !pBuffer->m_Allocate(kBlock)) return false;
        for (ULONG i = 0; i < kBlock; ++i) pBuffer->m_GetBytes()[i] = static_cast<uint8_t>(m_handed + i);
        m_handed += kBlock;
        m_pISerial->m_Operations.pWrite(m_pISerial->m_pOwner, pBuffer);
        return true;
    }
    void WaitForProgress()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(1));
    }
    uint64_t Handed() const { return m_handed; }
    uint64_t Received() const { return m_received.load(); }
    uint64_t Confirmed() const { return m_confirmed.load(); }
    uint64_t Errors() const { return m_errors.load(); }
    void TakeInitialCredit() { m_initialCredit = m_confirmed.exchange(0); }

private:
    static BOOLEAN sm_Read(PVOID pContext, CTfBuffer* pBuffer)
    {
        auto* self = static_cast<Client*>(pContext);
        uint64_t at = self->m_received.load();
        const uint8_t* bytes = pBuffer->m_GetBytes();
        for (ULONG i = 0; i < pBuffer->m_GetLength(); ++i)
            if (bytes[i] != static_cast<uint8_t>(at + i)) self->m_errors.fetch_add(1);
        self->m_received.fetch_add(pBuffer->m_GetLength());
        pBuffer->m_Delete();
        self->m_changed.notify_all();
        return TRUE;
    }
    static BOOLEAN sm_Written(PVOID pContext, ULONG ulCount)
    {
        auto* self = static_cast<Client*>(pContext);
        self->m_confirmed.fetch_add(ulCount);
        self->m_changed.notify_all();
        return TRUE;
    }
    static BOOLEAN sm_Room(PVOID pContext, ULONG, ULONG, PULONG pulAvailable)
    {
        *pulAvailable = 1u << 20;
        return TRUE;
    }

    ISerial* m_pISerial;
    uint64_t m_handed = 0;
    uint64_t m_initialCredit = 0;
    std::atomic<uint64_t> m_confirmed{0};
    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_errors{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

// A machine with Enumdrv39.sys on a chip with a loopback plug, its port open at 3,000,000 baud.
class Rig {
public:
    explicit Rig(bool paced) : m_machine(Options())
    {
        TfLibraryAddReference();
        m_machine.GetUsb().Scheduler().SetPaced(paced);
        InstallAdapterDrivers(m_machine, ENUMDRV_IMAGE, TFFUNC_IMAGE);
        WriteAdapterRegistry(m_machine, kProductId);
        chip::ChipConfig config = chip::ChipConfig::SinglePort();
        config.paced = paced;
        config.keepRequestLog = false;
        if (!paced) {
            // An unpaced line fills the chip's buffers at once; buffers of the real chip's size
            // would make the host's once-a-frame retry of a refused transfer the limit.
            config.transmitBufferSize = kUnpacedBuffer;
            config.receiveBufferSize = kUnpacedBuffer;
        }
        m_chip = std::make_unique<chip::FtdiChip>(config);
        chip::PlugLoopback(static_cast<chip::Time>(KeQueryInterruptTime()), *m_chip, 1);
        m_device = m_machine.GetUsb().Plug(std::make_shared<emu::usb::FtdiChipDevice>(*m_chip));
        m_pISerial = ISerialOf(RequestISerial(FindPortPdo(m_machine), 1));
        if (m_pISerial == nullptr) return;
        m_client = std::make_unique<Client>(m_pISerial);
        auto* owner = m_pISerial->m_pOwner;
        const ISERIAL_OPERATIONS& ops = m_pISerial->m_Operations;
        static_cast<CFTDI1Port*>(owner)->m_SetMaximumBaudRate(kRate);
        m_ok = ops.pConnect(owner) && ops.pSetBaudRate(owner, kRate) && ops.pCommSettings(owner, 3, 0, 0) &&
               ops.pTriggerLevels(owner, 1, 14, 0) && ops.pSetDtr(owner, TRUE) && ops.pSetRts(owner, TRUE) &&
               ops.pHandshaking(owner, TRUE, TRUE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                                FALSE);
        m_client->TakeInitialCredit();
    }
    ~Rig()
    {
        if (m_pISerial != nullptr) {
            m_pISerial->m_Operations.pDisconnect(m_pISerial->m_pOwner);
            m_client.reset();
            GiveBackISerial(FindPortPdo(m_machine), 1, m_pISerial);
        }
        if (m_device != nullptr) m_machine.GetUsb().Unplug(*m_device);
        TfLibraryRelease();
    }
    bool Ok() const { return m_ok; }
    Client& GetClient() { return *m_client; }
    emu::Machine& GetMachine() { return m_machine; }

private:
    static emu::MachineOptions Options()
    {
        emu::MachineOptions options;
        options.clockScale = 1.0;
        return options;
    }

    emu::Machine m_machine;
    std::unique_ptr<chip::FtdiChip> m_chip;
    emu::usb::UsbDevice* m_device = nullptr;
    ISerial* m_pISerial = nullptr;
    std::unique_ptr<Client> m_client;
    bool m_ok = false;
};

// Keeps the window full until `bytes` came back (or the deadline passed).
void Pump(Client& client, uint64_t bytes, std::chrono::steady_clock::time_point deadline)
{
    while (client.Received() < bytes && std::chrono::steady_clock::now() < deadline) {
        while (client.Handed() < bytes && client.TryWrite()) {
        }
        client.WaitForProgress();
    }
}

void BM_Unpaced(benchmark::State& state)
{
    Rig rig(false);
    if (!rig.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    Client& client = rig.GetClient();
    const uint64_t batch = 8u << 20;
    uint64_t target = 0;
    const double cpuBefore = ProcessCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        target += batch;
        Pump(client, target, std::chrono::steady_clock::now() + std::chrono::seconds(60));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    if (client.Received() < target || client.Errors() != 0) state.SkipWithError("data lost or damaged");
    state.SetBytesProcessed(static_cast<int64_t>(client.Received()));
    state.counters["MBps_each_way"] = benchmark::Counter(client.Received() / seconds / 1e6);
    state.counters["cpu_ns_per_byte"] = benchmark::Counter(cpu * 1e9 / static_cast<double>(client.Received()));
}
BENCHMARK(BM_Unpaced)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same 4096-byte blocks through a pseudo-terminal pair (raw mode), one writer and one reader.
void BM_Pty(benchmark::State& state)
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const uint64_t batch = 8u << 20;
    uint64_t moved = 0;
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        std::thread reader([&] {
            std::vector<uint8_t> buffer(kBlock);
            uint64_t got = 0;
            while (got < batch) {
                ssize_t n = read(slave, buffer.data(), buffer.size());
                if (n <= 0) break;
                got += static_cast<uint64_t>(n);
            }
        });
        std::vector<uint8_t> block(kBlock, 0x55);
        for (uint64_t sent = 0; sent < batch;) {
            ssize_t n = write(master, block.data(), block.size());
            if (n <= 0) break;
            sent += static_cast<uint64_t>(n);
        }
        reader.join();
        moved += batch;
    }
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    close(master);
    close(slave);
    state.SetBytesProcessed(static_cast<int64_t>(moved));
    state.counters["cpu_ns_per_byte"] = benchmark::Counter(cpu * 1e9 / static_cast<double>(moved));
}
BENCHMARK(BM_Pty)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Paced(benchmark::State& state)
{
    Rig rig(true);
    if (!rig.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    Client& client = rig.GetClient();
    constexpr double kMachineSeconds = 3.0;
    constexpr double kLineBytesPerSecond = kRate / 10.0;  // 8N1
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const LONGLONG startTime = static_cast<LONGLONG>(KeQueryInterruptTime());
        const uint64_t receivedBefore = client.Received();
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>(kMachineSeconds * 1000));
        Pump(client, UINT64_MAX, deadline);
        const double machineSeconds = (static_cast<LONGLONG>(KeQueryInterruptTime()) - startTime) / 1e7;
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const uint64_t received = client.Received() - receivedBefore;
        state.counters["line_rate_fraction"] = benchmark::Counter(received / machineSeconds / kLineBytesPerSecond);
        state.counters["cpu_per_machine_second"] = benchmark::Counter(cpu / machineSeconds);
    }
    // Let what is on its way arrive, then count what never came back.
    auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (client.Received() < client.Confirmed() && std::chrono::steady_clock::now() < settle)
        client.WaitForProgress();
    state.counters["bytes_lost"] =
        benchmark::Counter(static_cast<double>(client.Confirmed() - std::min(client.Confirmed(), client.Received())));
    state.counters["damaged"] = benchmark::Counter(static_cast<double>(client.Errors()));
}
BENCHMARK(BM_Paced)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
