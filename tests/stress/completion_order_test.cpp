// Completion order and completeness under concurrency: client threads queue
// buffers, stop, reset and close their streams while the clock runs in
// another thread, so that the tick's drain, their own requests' drains and
// each other's meet. Each client checks, as its calls return, that its
// buffers complete in the order it queued them, and that reset, stop and
// close return only once every buffer they retired has completed.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

namespace {

constexpr int Clients = 3;
constexpr int Rounds = 40;
constexpr int PerRound = 4;

struct Client {
    explicit Client(USHORT streamDirection) : direction(streamDirection) {}
    USHORT direction;
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE port = nullptr;
    ULONG stream = 0;
    std::deque<ClientBuffer> buffers;     // in queue order
    size_t completed = 0;                 // buffers whose packets came, in order
    ULONG bytesSinceReset = 0;
};

ULONG Control(const Client& client, USHORT op, DWORD offset = 0)
{
    Record record(op, client.direction, client.stream);
    if (op == wire::Open) {
        record.SetFormat(8000, 16, 1);
    }
    DWORD returned;
    EXPECT_TRUE(DeviceIoControl(client.device, wire::Ioctl, nullptr, 0, record.Bytes(), wire::Size,
                                &returned, nullptr));
    EXPECT_EQ(record.Result(), wire::NoError) << op;
    return record.Get32(offset);
}

// Takes every packet queued now; each must be the next buffer in queue order.
void TakePackets(Client& client)
{
    for (;;) {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped = nullptr;
        if (!GetQueuedCompletionStatus(client.port, &bytes, &key, &overlapped, 0)) {
            ASSERT_EQ(overlapped, nullptr) << "every buffer completes with success";
            return;
        }
        ASSERT_LT(client.completed, client.buffers.size());
        ClientBuffer& next = client.buffers[client.completed++];
        ASSERT_EQ(overlapped, &next.overlapped) << "out of queue order";
        ASSERT_LE(bytes, next.data.size());
        client.bytesSinceReset += bytes;
    }
}

void Queue(Client& client, ULONG ms)
{
    Record record(wire::AddBuffer, client.direction, client.stream);
    ClientBuffer& buffer = client.buffers.emplace_back();
    buffer.data.resize(ms * 16);
    record.Put32(wire::DataLength, static_cast<ULONG>(buffer.data.size()));
    PointAt(buffer.overlapped, record.Bytes());
    const DWORD size = static_cast<DWORD>(buffer.data.size());
    const BOOL ok = client.direction == wire::In
        ? ReadFile(client.device, buffer.data.data(), size, nullptr, &buffer.overlapped)
        : WriteFile(client.device, buffer.data.data(), size, nullptr, &buffer.overlapped);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
}

DWORD WINAPI RunClient(LPVOID parameter)
{
    Client& client = *static_cast<Client*>(parameter);
    const bool in = client.direction == wire::In;
    client.device = CreateFileW(W(in ? u"\\\\.\\Tonvane1In" : u"\\\\.\\Tonvane1Out"),
                                GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    client.port = CreateIoCompletionPort(client.device, nullptr, 0, 0);
    client.stream = Control(client, wire::Open, wire::StreamHandle);
    for (int round = 0; round < Rounds; ++round) {
        client.bytesSinceReset = 0;
        for (int i = 0; i < PerRound; ++i) {
            Queue(client, 5 + 10 * ((round + i) % 4));
        }
        if (in) {
            Control(client, wire::Start);
        }
        TakePackets(client);
        if (in && round % 2 == 0) {
            // Every recorded byte is in a completed buffer once stop returns.
            Control(client, wire::Stop);
            TakePackets(client);
            EXPECT_EQ(client.bytesSinceReset, Control(client, wire::GetPosition, wire::PositionBytes));
        }
        Control(client, wire::Reset);
        TakePackets(client);
        EXPECT_EQ(client.completed, client.buffers.size()) << "reset returned before completions";
    }
    Control(client, wire::Close);
    CloseHandle(client.device);
    return 0;
}

class CompletionOrderTest : public DriverFixture {};

TEST_F(CompletionOrderTest, EachClientSeesItsBuffersCompleteInOrderAndOnTime)
{
    std::atomic<bool> running{true};
    std::thread clock([&running] {
        while (running.load()) {
            HostKeAdvanceClockMs(5);
        }
    });
    Client clients[Clients] = {Client(wire::Out), Client(wire::In), Client(wire::Out)};
    HANDLE threads[Clients];
    for (int i = 0; i < Clients; ++i) {
        threads[i] = CreateThread(nullptr, 0, RunClient, &clients[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(thread));
    }
    running = false;
    clock.join();
    for (Client& client : clients) {
        // Nothing came after the close.
        TakePackets(client);
        EXPECT_EQ(client.completed, static_cast<size_t>(Rounds * PerRound));
        EXPECT_TRUE(CloseHandle(client.port));
    }
}

}  // namespace
