#include "core_compressor.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace core {

namespace {

uint32_t readLittleEndian32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 |
           static_cast<uint32_t>(u[2]) << 16 | static_cast<uint32_t>(u[3]) << 24;
}

void writeLittleEndian32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

constexpr const char* k_DECOMPRESS_TAG = "core::Compressor::decompress";

}  // namespace

bool Compressor::isContainer(const char* data, size_t size) {
    return size >= k_HEADER_SIZE && readLittleEndian32(data) == k_MAGIC;
}

bool Compressor::compress(const char* data, size_t size, GSharedBuf* out) {
    out->reset();
    if (size > UINT32_MAX) {
        LOG_WARN("core::Compressor::compress", "failed to compress %d bytes: %d", size,
                 Z_BUF_ERROR);
        return false;
    }
    // Room for 110 % of the input, the header and a margin.
    const size_t room = size + size / 10 + 20;
    GSharedBuf buf(room);
    uLongf produced = room - k_HEADER_SIZE;
    int rc = ::compress(reinterpret_cast<Bytef*>(buf.mutableData() + k_HEADER_SIZE), &produced,
                        reinterpret_cast<const Bytef*>(data), size);
    if (rc != Z_OK) {
        LOG_WARN("core::Compressor::compress", "failed to compress %d bytes: %d", size, rc);
        return false;
    }
    writeLittleEndian32(buf.mutableData(), k_MAGIC);
    writeLittleEndian32(buf.mutableData() + 4, static_cast<uint32_t>(size));
    buf.shrink(k_HEADER_SIZE + produced);
    *out = std::move(buf);
    return true;
}

bool Compressor::decompress(const char* data, size_t size, std::string* out) {
    out->clear();
    if (!CHECKF_NOSTOP(size >= k_HEADER_SIZE, "data_size (%d) < sizeof(CompressorHeader) (%d)",
                       size, k_HEADER_SIZE)) {
        return false;
    }
    const uint32_t magic = readLittleEndian32(data);
    if (!CHECKF_NOSTOP(magic == k_MAGIC, "magic=0x%x", magic)) {
        return false;
    }
    const uint32_t declared = readLittleEndian32(data + 4);
    if (declared == 0) {
        return true;
    }
    if (declared > k_MAX_DECLARED_LENGTH) {
        LOG_WARN(k_DECOMPRESS_TAG, "declared length %u exceeds the limit of %u bytes", declared,
                 k_MAX_DECLARED_LENGTH);
        return false;
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int rc = inflateInit(&stream);
    if (rc != Z_OK) {
        LOG_WARN(k_DECOMPRESS_TAG, "failed to uncompress summary: %d", rc);
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data + k_HEADER_SIZE));
    stream.avail_in = static_cast<uInt>(size - k_HEADER_SIZE);

    // The declared length is the peer's word: the output grows with what the
    // stream really yields, up to that length.
    const size_t compressedSize = size - k_HEADER_SIZE;
    size_t room = std::min<size_t>(declared, std::max<size_t>(64 * 1024, compressedSize * 8));
    out->resize(room);
    bool ok = false;
    for (;;) {
        const size_t produced = stream.total_out;
        stream.next_out = reinterpret_cast<Bytef*>(out->data() + produced);
        stream.avail_out = static_cast<uInt>(room - produced);
        rc = inflate(&stream, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            ok = true;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            break;
        }
        if (stream.avail_out == 0) {
            if (stream.total_out == declared) {
                ok = true;  // stopped for lack of room with exactly the declared length
                break;
            }
            room = std::min<size_t>(declared, room * 2);
            out->resize(room);
            continue;
        }
        if (rc == Z_BUF_ERROR) {
            break;  // input exhausted before the stream ended
        }
    }
    const size_t produced = stream.total_out;
    inflateEnd(&stream);
    if (!ok) {
        LOG_WARN(k_DECOMPRESS_TAG, "failed to uncompress summary: %d", rc);
        out->clear();
        return false;
    }
    out->resize(produced);
    return true;
}

}  // namespace core
