// lnl_packer.h                                                    -*-C++-*-
//
// 'NS_LNL::Packer', the frame codec of the NVR link.  A frame is the start byte
// 0x02, the payload length in decimal ("%05d", more digits when needed), the
// end byte 0x03 and the payload: a message tree saved as XML, or as the
// compressed container when that is shorter.  'packMessage' builds one frame;
// 'addReceivedData' decodes the received stream in any chunking and hands every
// complete message to the 'NS_LNL::PackerOwner'.
//
// A stream whose framing is lost (a length field that is no length, a length
// or an inflated length beyond the limit) cannot be resynchronised: a
// compressed payload holds start bytes, so skipping to the next one would
// decode garbage, and skipping a declared length lets the peer silence the
// link.  The decoder then reports a protocol error once and ignores the rest
// of the stream until 'reset'; its owner closes the link.  A payload that is
// framed correctly but does not decode is dropped and counted: the next
// frame is found where its length says.
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
    // The framing is lost ('what' says how); nothing more is decoded until
    // the codec is reset.  Called at most once per reset, as the last thing
    // 'addReceivedData' does.  Default: nothing.
    virtual void handleProtocolError(const std::string& what);
    // A framed payload that did not decode was dropped ('what' says why).
    // Default: nothing.
    virtual void handleBadFrame(const std::string& what);
};

class Packer {
  public:
    // A payload length above this is taken as a broken stream, not a frame
    // (the default limit, for the NVR's side, which receives the large
    // replies and events).
    static constexpr int64_t k_MAX_PAYLOAD = 64 * 1024 * 1024;
    // The limit for requests, which are small: the largest legitimate one is
    // a method execution with its inputs, a few kilobytes.  It bounds the
    // inflated size of a compressed payload too.
    static constexpr int64_t k_MAX_REQUEST_PAYLOAD = 1024 * 1024;
    // Longest length field accepted.
    static constexpr size_t k_MAX_LENGTH_DIGITS = 100;

    // Receive buffer capacity kept between frames; larger ones are released.
    static constexpr size_t k_KEEP_CAPACITY = 64 * 1024;

    // The logger's rate class of the size error (once a minute, with a
    // count): the peer decides how often it happens.
    static constexpr int k_SIZE_ERROR_RATE_CLASS = 6;

    enum State : int32_t { e_WAIT_START = 0, e_LENGTH = 1, e_PAYLOAD = 2, e_BROKEN = 3 };

    // CREATORS
    // A codec in the waiting state; 'owner' may be null.  Payloads, and what
    // a compressed one inflates to, are limited to 'maxPayload' bytes.
    explicit Packer(PackerOwner* owner, int64_t maxPayload = k_MAX_PAYLOAD);

    // MANIPULATORS
    // Feeds received bytes in arrival order; may call the owner once per
    // completed frame before it returns.
    void addReceivedData(const core::GSharedBuf& data);
    // Back to waiting for a frame, as new (the counters stay).
    void reset();

    // ACCESSORS
    // Answers one frame holding 'message'.  Independent of the decoder.
    static core::GSharedBuf packMessage(const Message& message);

    State state() const { return d_state; }
    // Frames whose length field or payload was refused.
    uint64_t numBadFrames() const { return d_bad_frames; }
    int64_t maxPayload() const { return d_max_payload; }

  private:
    void addByte(unsigned char b);
    void finishFrame();
    void processFrame();
    void sizeError();
    void protocolError(const std::string& what);

    State d_state = e_WAIT_START;
    std::string d_buffer;
    int64_t d_expected_length = 0;
    int64_t d_max_payload;
    std::string d_error;  // set by 'protocolError', reported on the way out
    PackerOwner* d_owner;
    uint64_t d_bad_frames = 0;
};

}  // namespace NS_LNL

#endif
