// Client processes of the loaded tonkern for the stress tests: each a
// process of the stand-in with its own overlapped handles and completion
// port, its streams and its queued buffers.
#pragma once

#include "driver_fixture.h"

#include "host/ps_control.h"
#include "host/version_control.h"

using Buffers = std::deque<std::unique_ptr<ClientBuffer>>;

// 8 kHz 16-bit mono, the fixture's default format. A tick moves about
// TickBytes: the driver measures time by the 15.625 ms kernel tick count, so
// tests read positions rather than assume exact counts.
constexpr ULONG BytesPerMs = 16;
constexpr ULONG TickBytes = 100 * BytesPerMs;

using InProcess = HostInProcess;

// A client process with its own overlapped handles on both devices, bound
// to its own completion port.
struct Client {
    PEPROCESS process = nullptr;
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE port = nullptr;

    HANDLE Device(USHORT direction) const { return direction == wire::In ? in : out; }
};

// What the client's OVERLAPPED says once the request has completed.
inline NTSTATUS StatusOf(const ClientBuffer& buffer)
{
    return static_cast<NTSTATUS>(buffer.overlapped.Internal);
}

inline ULONG BytesOf(const ClientBuffer& buffer)
{
    return static_cast<ULONG>(buffer.overlapped.InternalHigh);
}

class ClientFixture : public DriverFixture {
public:
    // For client threads.
    using DriverFixture::in;
    using DriverFixture::Pending;

protected:
    // The test's own process, with the fixture's handles.
    Client Survivor() const { return Client{HostPsDefaultProcess(), in, out, port}; }

    Client NewClient()
    {
        Client client;
        EXPECT_EQ(HostPsCreateProcess(&client.process), STATUS_SUCCESS);
        InProcess scope(client.process);
        client.in = OpenPath(u"\\\\.\\Tonvane1In");
        client.out = OpenPath(u"\\\\.\\Tonvane1Out");
        client.port = CreateIoCompletionPort(client.in, nullptr, wire::In, 0);
        EXPECT_NE(client.port, nullptr);
        EXPECT_EQ(CreateIoCompletionPort(client.out, client.port, wire::Out, 0), client.port);
        return client;
    }

    // Ends the client as a crash would; it must be able to end at once.
    static void End(const Client& client)
    {
        EXPECT_EQ(HostPsTerminateProcess(client.process), STATUS_SUCCESS);
        EXPECT_TRUE(HostPsProcessEnded(client.process));
        EXPECT_EQ(HostPsOutstandingRequests(client.process), 0u);
        EXPECT_EQ(HostPsHandleCount(client.process), 0u);
    }

    static ULONG Open(const Client& client, USHORT direction)
    {
        InProcess scope(client.process);
        Record record(wire::Open, direction);
        record.SetFormat(8000, 16, 1);
        record.Put32(wire::StreamHandle, 0);
        EXPECT_TRUE(Control(client.Device(direction), record));
        EXPECT_EQ(record.Result(), wire::NoError);
        return record.Get32(wire::StreamHandle);
    }

    static ULONG Op(const Client& client, USHORT op, USHORT direction, ULONG stream)
    {
        InProcess scope(client.process);
        Record record(op, direction, stream);
        EXPECT_TRUE(Control(client.Device(direction), record));
        return record.Result();
    }

    // Queues data on stream through the client's handle; it must stay
    // pending. owner keeps the buffer and its OVERLAPPED.
    static ClientBuffer& Submit(Buffers& owner, const Client& client, USHORT direction,
                                ULONG stream, std::vector<UCHAR> data, ULONG headerFlags = 0,
                                ULONG loops = 0)
    {
        owner.push_back(std::make_unique<ClientBuffer>());
        ClientBuffer& buffer = *owner.back();
        buffer.data = std::move(data);
        const DWORD size = static_cast<DWORD>(buffer.data.size());
        InProcess scope(client.process);
        Record record(wire::AddBuffer, direction, stream);
        record.Put32(wire::DataLength, size);
        record.Put32(wire::HeaderFlags, headerFlags);
        record.Put32(wire::Loops, loops);
        PointAt(buffer.overlapped, record.Bytes());
        SetLastError(0);
        const BOOL ok = direction == wire::In
            ? ReadFile(client.in, buffer.data.data(), size, nullptr, &buffer.overlapped)
            : WriteFile(client.out, buffer.data.data(), size, nullptr, &buffer.overlapped);
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(record.Result(), wire::NoError);
        return buffer;
    }

    ULONG Position(USHORT direction, ULONG stream)
    {
        Record record(wire::GetPosition, direction, stream);
        EXPECT_TRUE(Control(direction == wire::In ? in : out, record));
        EXPECT_EQ(record.Result(), wire::NoError);
        return record.Get32(wire::PositionBytes);
    }

    // The clock's kernel timer and DPC are made by its first start and kept
    // until unload: start it once so that pool counts compare like with like.
    void StartClockOnce()
    {
        const ULONG stream = OpenStream(wire::Out);
        EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
    }

    // Every sample of bytes [from, to) of data holds value.
    static void ExpectLevel(const std::vector<UCHAR>& data, ULONG from, ULONG to, SHORT value)
    {
        for (ULONG i = from / 2; i < to / 2; ++i) {
            ASSERT_EQ(Sample16(data, i), value) << "sample " << i;
        }
    }
};
