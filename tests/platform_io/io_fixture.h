// Shared set-up of the I/O stand-in tests: virtual time, the test driver
// loaded from the system root, and checks that each test leaves nothing.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "host/ps_control.h"
#include "host/se_control.h"
#include "host/version_control.h"
#include "iotest_protocol.h"
#include "client_text.h"


constexpr const char* kIoTestImage = "\\SystemRoot\\System32\\Drivers\\iotest.sys";
constexpr const char* kRegistry = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTest";

// An OVERLAPPED naming a command in its offset.
inline OVERLAPPED Command(ULONG command, ULONG high = 0)
{
    OVERLAPPED overlapped{};
    overlapped.Offset = command;
    overlapped.OffsetHigh = high;
    return overlapped;
}

class IoFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostKeReset(HostKeClockVirtual, 0);
        HostIoFailReset();
        HostHeapFailReset();
        heapBlocks = HostHeapLiveBlocks();
        ASSERT_EQ(HostIoLoadDriverA(kIoTestImage, kRegistry, &driver), STATUS_SUCCESS);
        PDEVICE_OBJECT device = HostIoResolveDeviceA("\\Device\\IoTest");
        ASSERT_NE(device, nullptr);
        log = static_cast<const IoTestLog*>(device->DeviceExtension);
    }

    void TearDown() override
    {
        for (HANDLE handle : handles) {
            CloseHandle(handle);
        }
        HOST_IO_UNLOAD_REPORT report;
        EXPECT_EQ(HostIoUnloadDriver(driver, &report), STATUS_SUCCESS);
        EXPECT_EQ(report.DevicesLeft, 0u);
        EXPECT_EQ(report.LinksLeft, 0u);
        EXPECT_EQ(HostIoDeviceCount(nullptr), 0u);
        EXPECT_EQ(HostIoSymbolicLinkCount(), 0u);
        EXPECT_EQ(HostIoOpenFileCount(), 0u);
        EXPECT_EQ(HostIoOutstandingRequestCount(), 0u);
        EXPECT_EQ(HostIoPortCount(), 0u);
        EXPECT_EQ(HostExPoolLiveBlocks(IOTEST_POOL_TAG), 0u);
        EXPECT_EQ(HostHeapLiveBlocks(), heapBlocks);
        HostIoFailReset();
    }

    // Opens \\.\IoTest; closed at tear-down unless the test closes it.
    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                DWORD access = GENERIC_READ | GENERIC_WRITE)
    {
        HANDLE handle = CreateFileW(W(u"\\\\.\\IoTest"), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, flags, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE) {
            handles.push_back(handle);
        }
        return handle;
    }

    void Close(HANDLE handle)
    {
        for (auto it = handles.begin(); it != handles.end(); ++it) {
            if (*it == handle) {
                handles.erase(it);
                break;
            }
        }
        EXPECT_TRUE(CloseHandle(handle));
    }

    // A port bound to file with key; closed at tear-down.
    HANDLE Bind(HANDLE file, ULONG_PTR key)
    {
        HANDLE port = CreateIoCompletionPort(file, nullptr, key, 0);
        EXPECT_NE(port, nullptr);
        handles.insert(handles.begin(), port);
        return port;
    }

    // TRUE and the packet when one is queued now; never waits.
    static bool Packet(HANDLE port, DWORD* bytes, ULONG_PTR* key, LPOVERLAPPED* overlapped,
                       BOOL* result, DWORD* error)
    {
        SetLastError(0);
        *result = GetQueuedCompletionStatus(port, bytes, key, overlapped, 0);
        *error = GetLastError();
        return *overlapped != nullptr || *result;
    }

    // One packet, as Packet takes it.
    struct Taken {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        BOOL result;
        DWORD error;
    };
    static bool Take(HANDLE port, Taken* packet)
    {
        return Packet(port, &packet->bytes, &packet->key, &packet->overlapped, &packet->result,
                      &packet->error);
    }

    static bool NoPacket(HANDLE port)
    {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        BOOL result;
        DWORD error;
        return !Packet(port, &bytes, &key, &overlapped, &result, &error) && error == WAIT_TIMEOUT;
    }

    PDRIVER_OBJECT driver = nullptr;
    const IoTestLog* log = nullptr;
    std::vector<HANDLE> handles;
    DWORD heapBlocks = 0;
};
