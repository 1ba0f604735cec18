#include "wav_file.h"

#include <cerrno>
#include <cstring>

namespace {

// Sources are held in memory; nothing a loopback run plays needs more.
constexpr long MaximumFileBytes = 1L << 30;

uint16_t Read16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Read32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8)
        | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The GUID tail shared by the sub-formats that stand for a plain format tag (its
// first two bytes are the format tag).
constexpr uint8_t TagSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::string SystemError(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool ParseWav(const uint8_t* bytes, size_t size, WavInfo* info, const uint8_t** data,
              size_t* dataBytes, std::string* error)
{
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE file";
        return false;
    }
    bool haveFormat = false;
    size_t offset = 12;
    while (offset + 8 <= size) {
        const uint8_t* chunk = bytes + offset;
        const size_t available = size - offset - 8;
        size_t chunkSize = Read32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkSize < 16 || chunkSize > available) {
                *error = "its fmt chunk is too short";
                return false;
            }
            const uint8_t* f = chunk + 8;
            info->formatTag = Read16(f);
            info->channels = Read16(f + 2);
            info->rate = Read32(f + 4);
            info->blockAlign = Read16(f + 12);
            info->bits = Read16(f + 14);
            if (info->formatTag == WavFormatExtensible && chunkSize >= 40
                && std::memcmp(f + 26, TagSubFormatTail, sizeof(TagSubFormatTail)) == 0) {
                info->formatTag = Read16(f + 24);
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                *error = "its data chunk comes before its fmt chunk";
                return false;
            }
            if (info->blockAlign == 0) {
                *error = "its fmt chunk gives a block size of 0";
                return false;
            }
            chunkSize = chunkSize < available ? chunkSize : available;
            *data = chunk + 8;
            *dataBytes = chunkSize - chunkSize % info->blockAlign;
            return true;
        }
        if (chunkSize > available) {
            break;
        }
        // Chunks are padded to an even size.
        offset += 8 + chunkSize + (chunkSize & 1);
    }
    *error = haveFormat ? "it has no data chunk" : "it has no fmt chunk";
    return false;
}

bool ReadWavFile(const std::string& path, WavInfo* info, std::vector<uint8_t>* samples,
                 std::string* error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = SystemError("cannot open", path);
        return false;
    }
    std::vector<uint8_t> bytes;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
        std::rewind(file);
    }
    if (size < 0 || size > MaximumFileBytes) {
        *error = size < 0 ? SystemError("cannot read", path)
                          : path + " is larger than 1 GiB; use a shorter file";
        std::fclose(file);
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
    if (got != bytes.size()) {
        *error = SystemError("cannot read", path);
        std::fclose(file);
        return false;
    }
    std::fclose(file);
    const uint8_t* data = nullptr;
    size_t dataBytes = 0;
    std::string why;
    if (!ParseWav(bytes.data(), bytes.size(), info, &data, &dataBytes, &why)) {
        *error = path + " is not a usable WAV file: " + why;
        return false;
    }
    samples->assign(data, data + dataBytes);
    return true;
}

WavWriter::~WavWriter()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool WavWriter::Open(const std::string& path, const PcmFormat& format, std::string* error)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        *error = SystemError("cannot create", path);
        return false;
    }
    path_ = path;
    uint8_t header[44] = {};
    std::memcpy(header, "RIFF", 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    Put16(header + 20, WavFormatPcm);
    Put16(header + 22, format.channels);
    Put32(header + 24, format.rate);
    Put32(header + 28, static_cast<uint32_t>(format.BytesPerSecond()));
    Put16(header + 32, static_cast<uint16_t>(format.BlockAlign()));
    Put16(header + 34, format.bits);
    std::memcpy(header + 36, "data", 4);
    // Sizes stay 0 until Close: a run cut short leaves an honest empty file.
    if (std::fwrite(header, 1, sizeof(header), file_) != sizeof(header)) {
        *error = SystemError("cannot write", path);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

bool WavWriter::Write(const uint8_t* bytes, size_t count)
{
    if (file_ == nullptr || failed_ || dataBytes_ + count > WavMaximumDataBytes
        || std::fwrite(bytes, 1, count, file_) != count) {
        failed_ = true;
        return false;
    }
    dataBytes_ += count;
    return true;
}

bool WavWriter::Close(std::string* error)
{
    if (file_ == nullptr) {
        return !failed_;
    }
    uint8_t size[4];
    bool ok = !failed_;
    Put32(size, static_cast<uint32_t>(36 + dataBytes_));
    ok = ok && std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    Put32(size, static_cast<uint32_t>(dataBytes_));
    ok = ok && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(size, 1, 4, file_) == 4;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) {
        failed_ = true;
        *error = SystemError("cannot write", path_);
    }
    return ok;
}
