// core_gsharedbuf.h                                               -*-C++-*-
//
// 'GSharedBuf': a reference-counted block of bytes with a size.  Every copy of
// the handle shares the block; a view ('slice') shares it too and covers part
// of it.  The bytes are written only while the block is being built by its
// single owner (before the handle is copied); once shared they do not change.
//
// Thread safety: distinct handles may be used from distinct threads (the count
// is atomic); one handle is not to be used concurrently.
#ifndef INCLUDED_CORE_GSHAREDBUF
#define INCLUDED_CORE_GSHAREDBUF

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace core {

class GSharedBuf {
  public:
    // CREATORS
    GSharedBuf() = default;
    // A block of 'size' uninitialised bytes.
    explicit GSharedBuf(size_t size)
        : d_block(size ? std::make_shared_for_overwrite<char[]>(size) : nullptr),
          d_capacity(size),
          d_size(size) {}

    static GSharedBuf copyOf(const void* data, size_t size) {
        GSharedBuf b(size);
        if (size) {
            std::memcpy(b.d_block.get(), data, size);
        }
        return b;
    }
    static GSharedBuf copyOf(std::string_view s) { return copyOf(s.data(), s.size()); }

    // ACCESSORS
    const char* data() const { return d_block ? d_block.get() + d_offset : nullptr; }
    size_t size() const { return d_size; }
    // The bytes of the block (what 'shrink' leaves allocated).
    size_t capacity() const { return d_capacity; }
    bool empty() const { return d_size == 0; }
    std::string_view view() const { return std::string_view(data(), d_size); }
    std::string str() const { return std::string(view()); }
    long useCount() const { return d_block.use_count(); }

    // A handle on bytes [offset, offset + size) of this one, sharing the block;
    // the range is clamped to this handle's bytes.
    GSharedBuf slice(size_t offset, size_t size) const {
        GSharedBuf v(*this);
        if (offset > d_size) {
            offset = d_size;
        }
        if (size > d_size - offset) {
            size = d_size - offset;
        }
        v.d_offset += offset;
        v.d_size = size;
        return v;
    }

    // MANIPULATORS (for the builder, before the handle is shared)
    char* mutableData() { return d_block ? d_block.get() + d_offset : nullptr; }
    // Shrinks the visible size (never grows it).
    void shrink(size_t size) {
        if (size < d_size) {
            d_size = size;
        }
    }
    void reset() { *this = GSharedBuf(); }

  private:
    std::shared_ptr<char[]> d_block;
    size_t d_capacity = 0;
    size_t d_offset = 0;
    size_t d_size = 0;
};

}  // namespace core

#endif
