// lnl_packer.h                                                    -*-C++-*-
//
// 'NS_LNL::Packer', the frame codec of the NVR link.  A frame is the start byte
// 0x02, the payload length in decimal ("%05d", more digits when needed), the
// end byte 0x03 and the payload: a message tree saved as XML, or as the
// compressed container when that is shorter.  'packMessage' builds one frame;
// 'addReceivedData' decodes the received stream in any chunking and hands every
// complete message to the 'NS_LNL::PackerOwner'.
//
// Thread safety: the kernel's loop thread only.
#ifndef INCLUDED_LNL_PACKER
#define INCLUDED_LNL_PACKER

#include <cstdint>
#include <string>

#include "core_gsharedbuf.h"
#include "lnl_message.h"

namespace NS_LNL {

class PackerOwner {
  public:
    virtual ~PackerOwner();
    // One decoded message, called synchronously from 'addReceivedData'.
    virtual void handleProcessData(const Message& message) = 0;
};

class Packer {
  public:
    // A payload length above this is taken as a broken stream, not a frame.
    static constexpr int64_t k_MAX_PAYLOAD = 64 * 1024 * 1024;
    // Longest length field accepted.
    static constexpr size_t k_MAX_LENGTH_DIGITS = 100;

    // The logger's rate class of the size error (once a minute, with a
    // count): the peer decides how often it happens.
    static constexpr int k_SIZE_ERROR_RATE_CLASS = 6;

    // Receive buffer capacity kept between frames; larger ones are released.
    static constexpr size_t k_KEEP_CAPACITY = 64 * 1024;

    enum State : int32_t { e_WAIT_START = 0, e_LENGTH = 1, e_PAYLOAD = 2 };

    // CREATORS
    // A codec in the waiting state; 'owner' may be null.
    explicit Packer(PackerOwner* owner);

    // MANIPULATORS
    // Feeds received bytes in arrival order; may call the owner once per
    // completed frame before it returns.
    void addReceivedData(const core::GSharedBuf& data);

    // ACCESSORS
    // Answers one frame holding 'message'.  Independent of the decoder.
    static core::GSharedBuf packMessage(const Message& message);

    State state() const { return d_state; }
    // Frames whose length field or payload was refused.
    uint64_t numBadFrames() const { return d_bad_frames; }
    // Bytes of a refused over-long payload still to be skipped.
    int64_t bytesToSkip() const { return d_skip; }

  private:
    void addByte(unsigned char b);
    void finishFrame();
    void processFrame();
    void sizeError();

    State d_state = e_WAIT_START;
    std::string d_buffer;
    int64_t d_expected_length = 0;
    int64_t d_skip = 0;
    PackerOwner* d_owner;
    uint64_t d_bad_frames = 0;
};

}  // namespace NS_LNL

#endif
