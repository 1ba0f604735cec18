// A conduit in pool memory on the virtual clock, with helpers to open
// streams, queue buffers whose requests a test can watch, and run ticks.
// Every test ends with the pool of tonkern's tag back where it started.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "conduit.h"
#include "host/ex_control.h"
#include "host/ke_control.h"
#include "pool.h"
#include "startup_table.h"
#include "stream.h"
#include "test_irp.h"

// 8 kHz 16-bit mono: one millisecond is exactly 8 frames, 16 bytes.
inline WAVEFORMATEX Pcm(ULONG rate = 8000, USHORT bits = 16, USHORT channels = 1)
{
    WAVEFORMATEX f{};
    f.wFormatTag = 1;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<USHORT>(((bits + 7) / 8) * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}

// One client buffer: its bytes live in the test, its record in the pool.
struct ClientBuffer {
    std::string name;
    std::vector<UCHAR> bytes;
    std::unique_ptr<TestIrp> irp;
};

class EngineTest : public ::testing::Test {
protected:
    // Virtual time starts at a whole number of kernel ticks (1 s = 64 ticks),
    // so QueryMilliseconds is exact there.
    static constexpr ULONGLONG StartTime = 1000 * HOST_KE_UNITS_PER_MS;

    void SetUp() override
    {
        HostKeReset(HostKeClockVirtual, StartTime);
        snapshot = HostExPoolSnapshot();
        TestIrp::ResetLog();
        ASSERT_TRUE(RunStartupTable());
        conduit = static_cast<Conduit*>(PoolAllocate(sizeof(Conduit)));
        ASSERT_NE(conduit, nullptr);
        conduit->Initialise();
    }

    void TearDown() override
    {
        HostExPoolFailReset();
        if (conduit != nullptr) {
            Locked([this] {
                for (Stream* stream : open) {
                    stream->Reset();
                    conduit->CloseStream(stream);
                }
            });
            open.clear();
            conduit->Destroy();
            PoolFree(conduit);
            conduit = nullptr;
        }
        RunCleanupList();
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot, POOL_TAG), 0u);
        buffers.clear();
    }

    // As REQ_OPEN: the format is checked, then the stream opened under the
    // conduit's format lock.
    Stream* Open(Endpoint& endpoint, const WAVEFORMATEX& format = Pcm())
    {
        Stream* stream = nullptr;
        Locked([&] {
            if (conduit->CheckFormat(format)) {
                stream = conduit->OpenStream(endpoint, format, nullptr);
            }
        });
        if (stream != nullptr) {
            open.push_back(stream);
        }
        return stream;
    }

    Stream* OpenOut(const WAVEFORMATEX& format = Pcm()) { return Open(conduit->outEndpoint, format); }
    Stream* OpenIn(const WAVEFORMATEX& format = Pcm()) { return Open(conduit->inEndpoint, format); }

    // REQ_CLOSE after the queue drained.
    void Close(Stream* stream)
    {
        Locked([&] {
            stream->Reset();
            conduit->CloseStream(stream);
        });
        std::erase(open, stream);
    }

    ClientBuffer& Add(Stream* stream, const std::string& name, std::vector<UCHAR> bytes,
                      ULONG headerFlags = 0, ULONG loops = 0)
    {
        buffers.push_back(ClientBuffer{name, std::move(bytes), std::make_unique<TestIrp>(name)});
        ClientBuffer& client = buffers.back();
        QueuedBuffer* record = static_cast<QueuedBuffer*>(PoolAllocate(sizeof(QueuedBuffer)));
        record->data = client.bytes.data();
        record->length = static_cast<ULONG>(client.bytes.size());
        record->done = 0;
        record->state = 0;
        record->headerFlags = headerFlags;
        record->loops = loops;
        record->completionRequest = client.irp->Irp();
        Locked([&] { stream->AddBuffer(record); });
        return client;
    }

    // ms of 16-bit samples all of one value.
    static std::vector<UCHAR> Level16(ULONG ms, SHORT value, ULONG rate = 8000)
    {
        std::vector<UCHAR> bytes(static_cast<size_t>(rate) / 1000 * ms * 2);
        for (size_t i = 0; i < bytes.size(); i += 2) {
            bytes[i] = static_cast<UCHAR>(value);
            bytes[i + 1] = static_cast<UCHAR>(static_cast<USHORT>(value) >> 8);
        }
        return bytes;
    }

    static std::vector<SHORT> Samples16(const std::vector<UCHAR>& bytes)
    {
        std::vector<SHORT> out(bytes.size() / 2);
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<SHORT>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        return out;
    }

    // Runs one tick as the DPC would, ms after the previous one, without
    // touching the timer.
    void TickAfter(ULONG ms)
    {
        Locked([&] {
            conduit->lastTickMs = QueryMilliseconds() - ms;
            conduit->Tick();
        });
    }

    // f as engine work of a request: it returns once what f retired is
    // completed.
    template <typename F>
    void Locked(F f) const
    {
        const KIRQL irql = conduit->EnterEngine();
        f();
        conduit->LeaveEngine(irql);
    }

    Conduit* conduit = nullptr;
    std::vector<Stream*> open;
    std::deque<ClientBuffer> buffers;
    HOST_EX_POOL_SNAPSHOT snapshot = 0;
};
