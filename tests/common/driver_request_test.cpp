#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "device_name.h"
#include "driver_request.h"
#include "wire_record.h"

namespace {

// Every field at the offset the wire table gives.
TEST(DriverRequestLayout, FieldsSitAtTheirWireOffsets)
{
    struct Field {
        const char* name;
        size_t offset;
        size_t expected;
        size_t size;
        size_t expectedSize;
    };
#define FIELD(path, off, sz) {#path, offsetof(DriverRequest, path), off, sizeof(DriverRequest::path), sz}
    const Field fields[] = {
        FIELD(signature, wire::Signature, wire::SignatureSize),
        FIELD(version, wire::Version, 2),
        FIELD(length, wire::Length, 2),
        FIELD(op, wire::Op, 2),
        FIELD(result, wire::Result, 4),
        FIELD(target.direction, wire::Direction, 2),
        FIELD(target.deviceId, wire::DeviceId, 2),
        FIELD(deviceCount, wire::DeviceCount, 4),
        FIELD(streamHandle, wire::StreamHandle, 4),
        FIELD(open.format, wire::FormatTag, wire::FormatSize),
        FIELD(open.format.wFormatTag, wire::FormatTag, 2),
        FIELD(open.format.nChannels, wire::Channels, 2),
        FIELD(open.format.nSamplesPerSec, wire::SamplesPerSec, 4),
        FIELD(open.format.nAvgBytesPerSec, wire::AvgBytesPerSec, 4),
        FIELD(open.format.nBlockAlign, wire::BlockAlign, 2),
        FIELD(open.format.wBitsPerSample, wire::BitsPerSample, 2),
        FIELD(open.format.cbSize, wire::CbSize, 2),
        FIELD(open.openFlags, wire::OpenFlags, 4),
        FIELD(addBuffer.clientTag, wire::ClientTag, 4),
        FIELD(addBuffer.completionRequest, wire::CompletionRequest, 4),
        FIELD(addBuffer.data, wire::Data, 4),
        FIELD(addBuffer.dataLength, wire::DataLength, 4),
        FIELD(addBuffer.headerFlags, wire::HeaderFlags, 4),
        FIELD(addBuffer.loops, wire::Loops, 4),
        FIELD(position.timeFormat, wire::TimeFormat, 4),
        FIELD(position.positionSamples, wire::PositionSamples, 4),
        FIELD(position.positionBytes, wire::PositionBytes, 4),
        FIELD(position.positionMs, wire::PositionMs, 4),
    };
#undef FIELD
    for (const Field& f : fields) {
        EXPECT_EQ(f.offset, f.expected) << f.name;
        EXPECT_EQ(f.size, f.expectedSize) << f.name;
    }
    EXPECT_EQ(sizeof(DriverRequest), wire::Size);
}

TEST(DriverRequestLayout, MultiByteFieldsAreLittleEndianAtOddOffsets)
{
    alignas(8) unsigned char bytes[1 + sizeof(DriverRequest)] = {};
    auto* request = reinterpret_cast<DriverRequest*>(bytes + 1);     // misaligned on purpose
    request->result = 0x11223344;
    request->open.format.nSamplesPerSec = 44100;
    EXPECT_EQ(bytes[1 + 70], 0x44);
    EXPECT_EQ(bytes[1 + 73], 0x11);
    EXPECT_EQ(bytes[1 + 86], 0x44);     // 44100 = 0x0000AC44
    EXPECT_EQ(bytes[1 + 87], 0xAC);
}

TEST(DriverRequestSignature, MatchesUpToAndIncludingTheNul)
{
    DriverRequest request;
    std::memset(&request, 'x', sizeof(request));
    WriteSignature(&request, CLIENT_SIGNATURE);
    EXPECT_EQ(request.signature[std::strlen(CLIENT_SIGNATURE) + 1], 'x');   // rest untouched
    EXPECT_TRUE(SignatureMatches(&request, CLIENT_SIGNATURE));
    EXPECT_FALSE(SignatureMatches(&request, SERVER_SIGNATURE));

    request.signature[5] ^= 1;
    EXPECT_FALSE(SignatureMatches(&request, CLIENT_SIGNATURE));
    request.signature[5] ^= 1;
    request.signature[std::strlen(CLIENT_SIGNATURE)] = 'x';  // no NUL: a longer text
    EXPECT_FALSE(SignatureMatches(&request, CLIENT_SIGNATURE));

    std::memset(request.signature, 'T', sizeof(request.signature));  // no NUL anywhere
    EXPECT_FALSE(SignatureMatches(&request, CLIENT_SIGNATURE));
}

std::u16string Name(const char* prefix, ULONG direction, ULONG number, ULONG capacity = 64)
{
    WCHAR buffer[64];
    ULONG length = FormatDeviceName(buffer, capacity, prefix, direction, number);
    std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
    EXPECT_EQ(buffer[length], 0);
    return text;
}

TEST(FormatDeviceName, BuildsEveryPathOfBothDrivers)
{
    EXPECT_EQ(Name(DEVICE_PREFIX, 1, 0), u"\\Device\\Tonvane1In");
    EXPECT_EQ(Name(DEVICE_PREFIX, 0, 0), u"\\Device\\Tonvane1Out");
    EXPECT_EQ(Name(LINK_PREFIX, 1, 0), u"\\DosDevices\\Tonvane1In");
    EXPECT_EQ(Name(LINK_PREFIX, 7, 0), u"\\DosDevices\\Tonvane1Out");    // not 1: Out
    EXPECT_EQ(Name(CLIENT_PREFIX, 0, 0), u"\\\\.\\Tonvane1Out");
    EXPECT_EQ(Name(CLIENT_PREFIX, 1, 41), u"\\\\.\\Tonvane42In");
    EXPECT_EQ(Name(CLIENT_PREFIX, 1, 4294967294u), u"\\\\.\\Tonvane4294967295In");
}

TEST(FormatDeviceName, RefusesABufferTooSmall)
{
    // "\Device\Tonvane1In" is 18 characters and needs 19 with its NUL.
    EXPECT_EQ(Name(DEVICE_PREFIX, 1, 0, 19), u"\\Device\\Tonvane1In");
    EXPECT_EQ(Name(DEVICE_PREFIX, 1, 0, 18), u"");
    EXPECT_EQ(FormatDeviceName(nullptr, 64, DEVICE_PREFIX, 1, 0), 0u);
}

}  // namespace
