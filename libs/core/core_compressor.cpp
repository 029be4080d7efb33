#include "core_compressor.h"

#include <libdeflate.h>

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

constexpr const char* k_COMPRESS_TAG = "core::Compressor::compress";
constexpr const char* k_DECOMPRESS_TAG = "core::Compressor::decompress";
// A peer can send payloads that fail to decompress at will: their lines are
// limited to one a minute per site, with a count.
constexpr int k_PEER_FAULT_RATE_CLASS = 6;

// Failures are logged with the codes zlib gives for them, so that the log
// reads the same whichever library wrote the stream.
constexpr int k_DAMAGED = -3;
constexpr int k_OUT_OF_MEMORY = -4;
constexpr int k_NO_ROOM = -5;

int failureCode(libdeflate_result rc) {
    // A stream that ends short of the declared length is as damaged as one
    // that does not decode; one that goes on past it had too little room.
    return rc == LIBDEFLATE_INSUFFICIENT_SPACE ? k_NO_ROOM : k_DAMAGED;
}

// A compressor costs more to set up than a photo takes to compress: each
// thread keeps one, and one decompressor, for its lifetime.
struct ThreadCodecs {
    libdeflate_compressor* d_compressor = nullptr;
    libdeflate_decompressor* d_decompressor = nullptr;

    ~ThreadCodecs() {
        libdeflate_free_compressor(d_compressor);
        libdeflate_free_decompressor(d_decompressor);
    }
};

ThreadCodecs& threadCodecs() {
    thread_local ThreadCodecs t_codecs;
    return t_codecs;
}

libdeflate_compressor* threadCompressor() {
    ThreadCodecs& codecs = threadCodecs();
    if (!codecs.d_compressor) {
        codecs.d_compressor = libdeflate_alloc_compressor(Compressor::k_LEVEL);
    }
    return codecs.d_compressor;
}

libdeflate_decompressor* threadDecompressor() {
    ThreadCodecs& codecs = threadCodecs();
    if (!codecs.d_decompressor) {
        codecs.d_decompressor = libdeflate_alloc_decompressor();
    }
    return codecs.d_decompressor;
}

}  // namespace

bool Compressor::isContainer(const char* data, size_t size) {
    return size >= k_HEADER_SIZE && readLittleEndian32(data) == k_MAGIC;
}

bool Compressor::compress(const char* data, size_t size, GSharedBuf* out) {
    out->reset();
    if (size > UINT32_MAX) {
        LOG_WARN(k_COMPRESS_TAG, "failed to compress %d bytes: %d", size, k_NO_ROOM);
        return false;
    }
    libdeflate_compressor* compressor = threadCompressor();
    if (!compressor) {
        LOG_WARN(k_COMPRESS_TAG, "failed to compress %d bytes: %d", size, k_OUT_OF_MEMORY);
        return false;
    }
    const size_t room = libdeflate_zlib_compress_bound(compressor, size);
    GSharedBuf buf(k_HEADER_SIZE + room);
    const size_t produced =
        libdeflate_zlib_compress(compressor, data, size, buf.mutableData() + k_HEADER_SIZE, room);
    if (produced == 0) {
        LOG_WARN(k_COMPRESS_TAG, "failed to compress %d bytes: %d", size, k_NO_ROOM);
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
        LOG_RATE_SITE(k_PEER_FAULT_RATE_CLASS, LOG_WARN, k_DECOMPRESS_TAG,
                      "declared length %u exceeds the limit of %u bytes", declared,
                      k_MAX_DECLARED_LENGTH);
        return false;
    }
    // The declared length is the peer's word: it is allocated only when the
    // stream received could inflate to it at all.
    const size_t streamSize = size - k_HEADER_SIZE;
    if (declared / k_MAX_RATIO > streamSize) {
        LOG_RATE_SITE(k_PEER_FAULT_RATE_CLASS, LOG_WARN, k_DECOMPRESS_TAG,
                      "failed to uncompress summary: %d", k_DAMAGED);
        return false;
    }
    libdeflate_decompressor* decompressor = threadDecompressor();
    if (!decompressor) {
        LOG_RATE_SITE(k_PEER_FAULT_RATE_CLASS, LOG_WARN, k_DECOMPRESS_TAG,
                      "failed to uncompress summary: %d", k_OUT_OF_MEMORY);
        return false;
    }
    out->resize(declared);
    // Without a place for the actual length, only a stream that ends after
    // exactly the declared length succeeds.
    const libdeflate_result rc = libdeflate_zlib_decompress(
        decompressor, data + k_HEADER_SIZE, streamSize, out->data(), declared, nullptr);
    if (rc != LIBDEFLATE_SUCCESS) {
        LOG_RATE_SITE(k_PEER_FAULT_RATE_CLASS, LOG_WARN, k_DECOMPRESS_TAG,
                      "failed to uncompress summary: %d", failureCode(rc));
        out->clear();
        return false;
    }
    return true;
}

}  // namespace core
