// tonkern loaded from the system root and driven as its client drives it:
// CreateFileW on its two paths, DeviceIoControl for control requests,
// ReadFile/WriteFile with the record's address in the byte offset and a
// completion port for the buffers left pending. Records are raw 118-byte
// areas below 4 GiB with every field read and written at its wire offset.
// Each test boots the host system in virtual time and ends with the driver
// unloaded and a clean shutdown: no device, link, file, request, timer,
// thread, handle, pool or heap block left.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/ke_control.h"
#include "host/system_control.h"

#include "conduit_client.h"
#include "leftovers.h"
#include "wire_record.h"

// A read or write request names its record by address in its byte offset,
// as a client puts it: the pointer as an integer, its upper half (0 on
// i386, not on the host's stacks) in OffsetHigh.
inline void PointAt(OVERLAPPED& overlapped, const void* record)
{
    const ULONGLONG address = reinterpret_cast<uintptr_t>(record);
    overlapped.Offset = static_cast<DWORD>(address);
    overlapped.OffsetHigh = static_cast<DWORD>(address >> 32);
}

// Runs start on a thread of the stand-in (its stack below 4 GiB, its exit
// NT's) and returns its exit code once it has ended.
inline DWORD RunThread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
{
    HANDLE thread = CreateThread(nullptr, 0, start, parameter, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    DWORD code = 0xFFFFFFFF;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_TRUE(CloseHandle(thread));
    return code;
}

// A client buffer handed to the driver with its own OVERLAPPED; both live
// until its completion packet has been taken.
struct ClientBuffer {
    OVERLAPPED overlapped{};
    std::vector<UCHAR> data;
};

// One completion packet.
struct Packet {
    BOOL ok;
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
};

class DriverFixture : public ::testing::Test {
protected:
    static constexpr const char* Image = "\\SystemRoot\\System32\\Drivers\\tonkern.sys";
    static constexpr const char* Registry =
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tonvane";
    static constexpr ULONG PoolTag = 0x206B6444;    // "Ddk "
    // A whole number of kernel ticks (1 s = 64 ticks of 15.625 ms), so that
    // the driver's millisecond clock is exact at the start.
    static constexpr ULONGLONG StartTime = 1000 * HOST_KE_UNITS_PER_MS;

    void SetUp() override
    {
        const HOST_BOOT_OPTIONS options{HostKeClockVirtual, StartTime, nullptr, HostWindowsNt4ToXp};
        ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
        LoadAndOpen();
    }

    // Loads the driver with no pool block of its tag live beforehand, opens
    // both devices and binds them to one completion port.
    void LoadAndOpen()
    {
        ASSERT_EQ(HostExPoolLiveBlocks(PoolTag), 0u);
        ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
        in = OpenPath(ConduitPath(wire::In));
        out = OpenPath(ConduitPath(wire::Out));
        port = CreateIoCompletionPort(in, nullptr, wire::In, 0);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(CreateIoCompletionPort(out, port, wire::Out, 0), port);
    }

    void TearDown() override
    {
        HostExPoolFailReset();
        HostIoFailReset();
        if (in != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(in));
        }
        if (out != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(out));
        }
        if (driver != nullptr) {
            Unload();
        }
        // Whatever was pending was completed by the unload at the latest.
        Drain();
        if (port != nullptr) {
            EXPECT_TRUE(CloseHandle(port));
        }
        buffers.clear();
        HOST_LEFTOVERS left{};
        char text[512];
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
            << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
    }

    // Unloads and checks that nothing of the driver is left.
    void Unload()
    {
        EXPECT_EQ(UnloadLeftovers(driver, PoolTag), "");
        driver = nullptr;
    }

    HANDLE OpenPath(const char16_t* path)
    {
        HANDLE handle = OpenConduit(path);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        return handle;
    }

    // A control request as the client sends it; FALSE with the error in
    // *error when the request failed.
    static BOOL Control(HANDLE device, const Record& record, DWORD size = wire::Size,
                        DWORD* error = nullptr, DWORD code = wire::Ioctl)
    {
        DWORD returned = 0;
        SetLastError(0);
        const BOOL ok = ConduitControl(device, record.Bytes(), size, &returned, code);
        if (error != nullptr) {
            *error = ok ? 0 : GetLastError();
        }
        if (ok) {
            EXPECT_EQ(returned, 0u);
        }
        return ok;
    }

    // Sends op and returns the result code the server wrote.
    ULONG Send(USHORT op, USHORT direction, ULONG stream)
    {
        Record record(op, direction, stream);
        EXPECT_TRUE(Control(direction == wire::In ? in : out, record));
        return record.Result();
    }

    // REQ_OPEN; the stream handle, or 0 with *result set on refusal.
    ULONG OpenStream(USHORT direction, ULONG rate = 8000, USHORT bits = 16, USHORT channels = 1,
                     ULONG* result = nullptr)
    {
        Record record(wire::Open, direction);
        record.SetFormat(rate, bits, channels);
        record.Put32(wire::StreamHandle, 0);
        EXPECT_TRUE(Control(direction == wire::In ? in : out, record));
        if (result != nullptr) {
            *result = record.Result();
        } else {
            EXPECT_EQ(record.Result(), wire::NoError);
        }
        return record.Get32(wire::StreamHandle);
    }

    // REQ_ADD_BUFFER by write (Out) or read (In) on the device of direction,
    // unless read says otherwise. Returns the call's result and leaves the
    // error in *error and the record's result in *result.
    BOOL Queue(USHORT direction, ULONG stream, ClientBuffer& buffer, DWORD* error,
               ULONG* result = nullptr, int read = -1, DWORD length = 0xFFFFFFFF)
    {
        Record record(wire::AddBuffer, direction, stream);
        record.Put32(wire::ClientTag, 0x7A6);
        record.Put32(wire::Data, static_cast<ULONG>(reinterpret_cast<uintptr_t>(buffer.data.data())));
        record.Put32(wire::DataLength, static_cast<ULONG>(buffer.data.size()));
        record.Put32(wire::HeaderFlags, 0);
        record.Put32(wire::Loops, 0);
        buffer.overlapped = OVERLAPPED{};
        PointAt(buffer.overlapped, record.Bytes());
        const bool isRead = read < 0 ? direction == wire::In : read != 0;
        const DWORD size = length != 0xFFFFFFFF ? length : static_cast<DWORD>(buffer.data.size());
        HANDLE device = direction == wire::In ? in : out;
        SetLastError(0);
        const BOOL ok = isRead
            ? ReadFile(device, buffer.data.data(), size, nullptr, &buffer.overlapped)
            : WriteFile(device, buffer.data.data(), size, nullptr, &buffer.overlapped);
        *error = ok ? 0 : GetLastError();
        if (result != nullptr) {
            *result = record.Result();
        }
        return ok;
    }

    // Queues a buffer that must be accepted (left pending).
    ClientBuffer& Pending(USHORT direction, ULONG stream, std::vector<UCHAR> data)
    {
        buffers.push_back(std::make_unique<ClientBuffer>());
        ClientBuffer& buffer = *buffers.back();
        buffer.data = std::move(data);
        DWORD error = 0;
        ULONG result = 0;
        EXPECT_FALSE(Queue(direction, stream, buffer, &error, &result));
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(result, wire::NoError);
        return buffer;
    }

    // Packets queued now, in order; never waits.
    std::vector<Packet> Drain()
    {
        std::vector<Packet> packets;
        if (port == nullptr) {
            return packets;
        }
        for (;;) {
            Packet packet{};
            packet.ok = GetQueuedCompletionStatus(port, &packet.bytes, &packet.key,
                                                  &packet.overlapped, 0);
            if (!packet.ok && packet.overlapped == nullptr) {
                return packets;
            }
            packets.push_back(packet);
        }
    }

    // ms of 16-bit mono samples of one value.
    static std::vector<UCHAR> Level16(ULONG ms, SHORT value, ULONG rate = 8000)
    {
        std::vector<UCHAR> bytes(static_cast<size_t>(rate) / 1000 * ms * 2);
        for (size_t i = 0; i < bytes.size(); i += 2) {
            std::memcpy(&bytes[i], &value, 2);
        }
        return bytes;
    }

    static SHORT Sample16(const std::vector<UCHAR>& bytes, size_t index)
    {
        SHORT value;
        std::memcpy(&value, &bytes[2 * index], 2);
        return value;
    }

    PDRIVER_OBJECT driver = nullptr;
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE port = nullptr;
    std::deque<std::unique_ptr<ClientBuffer>> buffers;
};
