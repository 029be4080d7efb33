// core_compressor.h                                               -*-C++-*-
//
// 'Compressor': the compressed payload container used for large documents.
// A container is an 8-byte header (magic 0x1212ABAB, then the length of the
// uncompressed data, both little-endian) followed by one standard zlib stream
// (header, deflate data, Adler-32), so any zlib inflates what we write and
// streams of any zlib level load.
//
// Containers arrive from peers, so 'decompress' checks the declared length
// before it allocates for it: above 'k_MAX_DECLARED_LENGTH', or more than
// the stream could inflate to at deflate's greatest ratio, it is refused.
//
// Thread safety: all functions are reentrant; each thread keeps its own
// compressor and decompressor state.
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

    // The deflate level of 'compress' (chosen by measurement, see
    // docs/performance.md).
    static constexpr int k_LEVEL = 1;
    // Deflate never inflates one byte of stream to more than this many.
    static constexpr uint32_t k_MAX_RATIO = 1032;

    // Compresses 'size' bytes into a container in '*out'.  On failure logs
    // WARN "failed to compress %d bytes: %d" (-4: out of memory, -5: no room)
    // and answers false ('*out' empty).
    static bool compress(const char* data, size_t size, GSharedBuf* out);

    // Inflates the container 'data' into '*out'.  Succeeds when the stream
    // ends after exactly the declared length (a declared length of 0 gives
    // empty data).  A short block or a wrong magic is reported as a failed
    // check that never stops the process; a damaged stream, one that ends
    // before or after the declared length, or a declared length above the cap
    // logs WARN.  Answers false on any failure.
    static bool decompress(const char* data, size_t size, std::string* out);
};

}  // namespace core

#endif
