// core_compressor.h                                               -*-C++-*-
//
// 'Compressor': the compressed payload container used for large documents.
// A container is an 8-byte header (magic 0x1212ABAB, then the length of the
// uncompressed data, both little-endian) followed by one zlib stream made by
// zlib's one-call compression at the default level.
//
// Containers arrive from peers, so 'decompress' never trusts the declared
// length for an allocation: output grows with what the stream really
// produces, and a declared length above 'k_MAX_DECLARED_LENGTH' is refused.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_CORE_COMPRESSOR
#define INCLUDED_CORE_COMPRESSOR

#include <cstddef>
#include <cstdint>
#include <string>

#include "core_gsharedbuf.h"

namespace core {

struct CompressorHeader {
    uint32_t d_magic;   // little-endian on the wire
    uint32_t d_length;  // uncompressed length, little-endian on the wire
};
static_assert(sizeof(CompressorHeader) == 8);

class Compressor {
  public:
    static constexpr uint32_t k_MAGIC = 0x1212ABAB;
    static constexpr size_t k_HEADER_SIZE = sizeof(CompressorHeader);
    // The largest uncompressed length a container may declare (64 MiB).
    static constexpr uint32_t k_MAX_DECLARED_LENGTH = 64u * 1024 * 1024;

    // Answers whether 'data' is long enough for a header and starts with the
    // magic.
    static bool isContainer(const char* data, size_t size);

    // Compresses 'size' bytes into a container in '*out'.  On failure logs
    // WARN "failed to compress %d bytes: %d" and answers false ('*out' empty).
    static bool compress(const char* data, size_t size, GSharedBuf* out);

    // Inflates the container 'data' into '*out'.  Succeeds when the stream
    // ends, or when exactly the declared length has been produced.  A short
    // block or a wrong magic is reported as a failed check that never stops
    // the process; a damaged stream, or a declared length above the cap, logs
    // WARN.  Answers false on any failure.
    static bool decompress(const char* data, size_t size, std::string* out);
};

}  // namespace core

#endif
