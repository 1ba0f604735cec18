// The card's WAV files, little-endian whatever the host.
#include "pcm_wav.h"

#include <cstring>
#include <new>

#include "windef.h"
#include "winerror.h"

namespace hostcard {
namespace {

constexpr size_t kHeaderBytes = 44;
constexpr uint16_t kFormatPcm = 1;

uint32_t Get(const uint8_t* p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    return value;
}

void Put(uint8_t* p, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        p[i] = uint8_t(value >> (8 * i));
    }
}

// The format and data of a file image; false if it is not a PCM WAV file.
bool Parse(const std::vector<uint8_t>& file, PcmFormat* format, size_t* data, size_t* size)
{
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0
        || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        return false;
    }
    bool haveFormat = false;
    for (size_t at = 12; file.size() - at >= 8;) {
        const uint8_t* chunk = file.data() + at;
        const size_t available = file.size() - at - 8;
        const size_t length = Get(chunk + 4, 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || length > available || Get(chunk + 8, 2) != kFormatPcm) {
                return false;
            }
            *format = PcmFormat{uint16_t(Get(chunk + 10, 2)), Get(chunk + 12, 4),
                                Get(chunk + 16, 4), uint16_t(Get(chunk + 22, 2)),
                                uint16_t(Get(chunk + 20, 2))};
            haveFormat = format->blockAlign != 0 && format->bytesPerSecond != 0;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            *data = at + 8;
            *size = length < available ? length : available;
            *size -= haveFormat ? *size % format->blockAlign : *size;
            return *size != 0;
        }
        if (length > available) {
            return false;
        }
        at += 8 + length + (length & 1);      // chunks are padded to even sizes
    }
    return false;
}

} // namespace

uint32_t ReadWav(const char* path, PcmFormat* format, std::vector<uint8_t>* data)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return ERROR_OPEN_FAILED;
    }
    std::vector<uint8_t> image;
    uint32_t result = ERROR_SUCCESS;
    try {
        uint8_t block[4096];
        for (size_t got; (got = std::fread(block, 1, sizeof(block), file)) != 0;) {
            image.insert(image.end(), block, block + got);
        }
        size_t at = 0, size = 0;
        if (std::ferror(file)) {
            result = ERROR_OPEN_FAILED;
        } else if (!Parse(image, format, &at, &size)) {
            result = ERROR_BAD_FORMAT;
        } else {
            data->assign(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + size));
        }
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    std::fclose(file);
    return result;
}

bool WavWriter::Create(const char* path)
{
    Close();
    file_ = std::fopen(path, "wb");
    started_ = failed_ = false;
    dataBytes_ = 0;
    return file_ != nullptr;
}

void WavWriter::Write(const uint8_t* bytes, size_t size, const PcmFormat& format)
{
    if (file_ == nullptr) {
        return;
    }
    if (!Accepts(format)) {
        failed_ = true;
        return;
    }
    if (!started_) {
        format_ = format;
        started_ = true;
        uint8_t header[kHeaderBytes] = {};      // sizes 0 until the first Finish
        std::memcpy(header, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0", 20);
        Put(header + 20, kFormatPcm, 2);
        Put(header + 22, format.channels, 2);
        Put(header + 24, format.rate, 4);
        Put(header + 28, format.bytesPerSecond, 4);
        Put(header + 32, format.blockAlign, 2);
        Put(header + 34, format.bits, 2);
        std::memcpy(header + 36, "data", 4);
        failed_ |= std::fwrite(header, 1, sizeof(header), file_) != sizeof(header);
    }
    failed_ |= size > UINT32_MAX - kHeaderBytes - dataBytes_
               || std::fwrite(bytes, 1, size, file_) != size;
    dataBytes_ += failed_ ? 0 : uint32_t(size);
}

void WavWriter::Finish()
{
    if (file_ == nullptr || !started_) {
        return;
    }
    uint8_t size[4];
    const long end = std::ftell(file_);
    Put(size, uint32_t(kHeaderBytes - 8 + dataBytes_), 4);
    failed_ |= std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4;
    Put(size, dataBytes_, 4);
    failed_ |= std::fseek(file_, 40, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4;
    failed_ |= std::fseek(file_, end, SEEK_SET) != 0 || std::fflush(file_) != 0;
}

bool WavWriter::Close()
{
    if (file_ == nullptr) {
        return true;
    }
    Finish();
    failed_ |= std::fclose(file_) != 0;
    file_ = nullptr;
    return !failed_;
}

} // namespace hostcard
