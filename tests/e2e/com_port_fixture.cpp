#include "com_port_fixture.h"

#include <gtest/gtest.h>

#include <ntddser.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <mutex>
#include <random>

#include "async_request.h"
#include "cable.h"
#include "ex/pool.h"
#include "io/driver_loader.h"
#include "io/io_manager.h"
#include "ke/clock.h"
#include "line_domain.h"
#include "ob/object_namespace.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "port_settings.h"
#include "usb_host.h"

namespace e2e {
emu::MachineOptions ComPortTest::Options() const
{
    emu::MachineOptions options;
    options.clockScale = 0;
    return options;
}

void ComPortTest::SetUp()
{
    MachineTest::SetUp();
    m_package.Install(machine(), {E2E_ENUMDRV_IMAGE, E2E_PORTDRV_IMAGE});
}

void ComPortTest::TearDown()
{
    CloseAll();
    if (m_device != nullptr) Unplug();
    CheckNothingLeft();
    MachineTest::TearDown();
}

void ComPortTest::CheckNothingLeft()
{
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(), 0u) << "requests still with a driver";
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(cvinstall::kPortService));
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(cvinstall::kBusService));
    EXPECT_EQ(machine().GetPool().LiveCount(emu::PoolTag("TfKi")), 0u) << "the drivers' tracked pool is not empty";
}

void ComPortTest::Plug(const Adapter& adapter)
{
    machine().GetUsb().Scheduler().SetPaced(adapter.pacedBus);
    emu::devices::ChipConfig config =
        adapter.twoPorts ? emu::devices::ChipConfig::DualPort() : emu::devices::ChipConfig::SinglePort();
    config.paced = adapter.pacedLine;
    m_chips.push_back(std::make_unique<emu::devices::FtdiChip>(config));
    Cabling(adapter, *m_chips.back());
    m_model = std::make_shared<emu::usb::FtdiChipDevice>(*m_chips.back());
    m_device = machine().GetUsb().Plug(m_model);
    ASSERT_NE(m_device, nullptr);
    machine().GetPnp().WaitIdle();
    for (const std::u16string& name : PortNames()) ASSERT_TRUE(NameIsLinked(name)) << "no link for a COM port";
}

void ComPortTest::Cabling(const Adapter& adapter, emu::devices::FtdiChip& chip)
{
    std::lock_guard lock(emu::devices::ModelLock());
    const emu::devices::Time now = Now();
    m_peers.clear();
    switch (adapter.cable) {
    case Cable::Loopback:
        emu::devices::PlugLoopback(now, chip, 1);
        break;
    case Cable::NullModem:
        emu::devices::ConnectNullModem(now, chip, 1, chip, 2);
        break;
    case Cable::Peer:
        for (int port = 1; port <= chip.PortCount(); ++port) m_peers.push_back(emu::devices::AttachScriptedPeer(now, chip, port));
        break;
    case Cable::None:
        break;
    }
}

void ComPortTest::Unplug()
{
    ASSERT_NE(m_device, nullptr);
    machine().GetUsb().Unplug(*m_device);
    m_device = nullptr;
    machine().GetPnp().WaitIdle();
}

void ComPortTest::Notify()
{
    if (m_device != nullptr) m_device->Notify();
}

bool ComPortTest::NameIsLinked(const std::u16string& name)
{
    return machine().GetNamespace().LinkTarget(u"\\??\\" + name).has_value() ||
           machine().GetNamespace().LinkTarget(u"\\DosDevices\\" + name).has_value();
}

HANDLE ComPortTest::Open(int port)
{
    const std::vector<std::u16string> names = PortNames();
    EXPECT_GE(names.size(), static_cast<size_t>(port));
    return names.size() >= static_cast<size_t>(port) ? OpenName(names[port - 1]) : INVALID_HANDLE_VALUE;
}

HANDLE ComPortTest::OpenName(const std::u16string& name)
{
    const std::u16string path = u"\\\\.\\" + name;
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) m_handles.push_back(handle);
    return handle;
}

void ComPortTest::Close(HANDLE handle)
{
    std::erase(m_handles, handle);
    const double scale = RunClock(std::max(machine().GetClock().Scale(), kDataClockScale));
    EXPECT_TRUE(CloseHandle(handle));
    RunClock(scale);
}

void ComPortTest::CloseAll()
{
    while (!m_handles.empty()) Close(m_handles.back());
}

void ComPortTest::Configure(HANDLE port, const LineSetup& setup)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = setup.rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = setup.rtsCts;
    dcb.fRtsControl = setup.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = setup.dtrDsr;
    dcb.fDtrControl = setup.dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = setup.xonXoff;
    dcb.fInX = setup.xonXoff;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = setup.abortOnError;
    ASSERT_TRUE(SetCommState(port, &dcb)) << "SetCommState failed with " << GetLastError();
}

void ComPortTest::SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier,
                              DWORD writeConstant)
{
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts)) << "SetCommTimeouts failed with " << GetLastError();
}

void ComPortTest::RaiseMaximumBaudRate(const std::u16string& name, ULONG rate)
{
    std::string error;
    ASSERT_TRUE(cvinstall::RaiseMaximumBaudRate(machine(), name, rate, error)) << error;
}

void ComPortTest::WriteAll(HANDLE port, const std::vector<uint8_t>& data)
{
    AsyncRequest write(port);
    write.Write(data);
    ASSERT_TRUE(write.Finish());
    ASSERT_TRUE(write.Succeeded()) << "WriteFile failed with " << write.Error();
    ASSERT_EQ(write.Transferred(), data.size());
}

std::vector<uint8_t> ComPortTest::ReadAll(HANDLE port, size_t size)
{
    SetTimeouts(port, MAXDWORD, MAXDWORD, 1000);
    const double scale = RunClock(std::max(machine().GetClock().Scale(), kDataClockScale));
    std::vector<uint8_t> received;
    // A stall is judged in real time: a slow host lets the machine clock run ahead of the data.
    auto lastProgress = std::chrono::steady_clock::now();
    while (received.size() < size && std::chrono::steady_clock::now() - lastProgress < std::chrono::seconds(10)) {
        AsyncRequest read(port);
        read.Read(static_cast<DWORD>(std::min<size_t>(size - received.size(), 65536)));
        if (!read.Finish() || !read.Succeeded()) break;
        const std::vector<uint8_t> got = read.Data();
        if (!got.empty()) lastProgress = std::chrono::steady_clock::now();
        received.insert(received.end(), got.begin(), got.end());
    }
    RunClock(scale);
    return received;
}

void ComPortTest::AwaitReceived(HANDLE port, ULONG count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        SERIALPERF_STATS stats = {};
        DWORD returned = 0;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL done = DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, &returned, &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(port, &overlapped, &returned, TRUE);
        CloseHandle(overlapped.hEvent);
        ASSERT_TRUE(done) << "IOCTL_SERIAL_GET_STATS failed with " << GetLastError();
        if (stats.ReceivedCount >= count) return;
        std::this_thread::yield();
    }
    FAIL() << "the port never received " << count << " bytes";
}

emu::devices::Time ComPortTest::Now() { return static_cast<emu::devices::Time>(machine().GetClock().InterruptTime()); }

void ComPortTest::AdvanceMs(double ms) { machine().GetClock().Advance(static_cast<LONGLONG>(ms * 10000.0)); }

double ComPortTest::RunClock(double scale)
{
    const double previous = machine().GetClock().Scale();
    machine().GetClock().SetScale(scale);
    return previous;
}

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::vector<uint8_t> data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(generator());
    return data;
}

}  // namespace e2e
