#include "lnl_packer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core_assert.h"
#include "core_compressor.h"
#include "core_v2masterlogger.h"
#include "xml_xnode.h"

namespace NS_LNL {

namespace {
constexpr unsigned char k_START = 0x02;
constexpr unsigned char k_END = 0x03;

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace packer_loc {
constexpr int k_BAD_STATE = 60;
constexpr int k_BAD_FRAME = 73;
}  // namespace packer_loc
}  // namespace

PackerOwner::~PackerOwner() = default;

void PackerOwner::handleProtocolError(const std::string&) {}

void PackerOwner::handleBadFrame(const std::string&) {}

Packer::Packer(PackerOwner* owner, int64_t maxPayload)
    : d_max_payload(maxPayload), d_owner(owner) {}

void Packer::reset() {
    d_state = e_WAIT_START;
    d_buffer.clear();
    d_buffer.shrink_to_fit();
    d_expected_length = 0;
    d_error.clear();
}

core::GSharedBuf Packer::packMessage(const Message& message) {
    NS_XML::XNode tree;
    toTree(message, &tree);
    core::GSharedBuf payload = tree.save();
    std::string header =
        core::strFormat("%c%05d%c", static_cast<char>(k_START),
                        static_cast<int64_t>(payload.size()), static_cast<char>(k_END));
    core::GSharedBuf frame(header.size() + payload.size());
    std::memcpy(frame.mutableData(), header.data(), header.size());
    if (!payload.empty()) {
        std::memcpy(frame.mutableData() + header.size(), payload.data(), payload.size());
    }
    return frame;
}

void Packer::addReceivedData(const core::GSharedBuf& data) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t i = 0;
    while (i < data.size() && d_state != e_BROKEN) {
        if (d_state == e_PAYLOAD) {
            // Take as much of the payload as this chunk holds in one copy.
            size_t missing = static_cast<size_t>(d_expected_length) - d_buffer.size();
            size_t take = std::min(missing, data.size() - i);
            d_buffer.append(reinterpret_cast<const char*>(p + i), take);
            i += take;
            if (d_buffer.size() == static_cast<size_t>(d_expected_length)) {
                finishFrame();
            }
            continue;
        }
        addByte(p[i++]);
    }
    if (!d_error.empty() && d_owner) {
        // Last: the owner may reset this codec.
        std::string what;
        what.swap(d_error);
        d_owner->handleProtocolError(what);
    }
}

void Packer::sizeError() {
    LOG_RATE(k_SIZE_ERROR_RATE_CLASS, core::LOG_CRIT,
             "NS_LNL::Packer::addReceivedData - NS_LNL:Packer Error reading message size");
}

void Packer::protocolError(const std::string& what) {
    // The owner logs what it does about it.
    ++d_bad_frames;
    d_buffer.clear();
    d_buffer.shrink_to_fit();
    d_expected_length = 0;
    d_state = e_BROKEN;
    d_error = what;
}

void Packer::addByte(unsigned char b) {
    switch (d_state) {
        case e_WAIT_START:
            if (b == k_START) {
                d_buffer.clear();
                d_state = e_LENGTH;
            }
            break;
        case e_LENGTH:
            if (d_buffer.size() > k_MAX_LENGTH_DIGITS) {
                sizeError();
                protocolError("length field too long");
            } else if (b == k_END) {
                // A length of 0, a non-digit or one beyond the signed 32-bit
                // range of the field is no length, and one beyond the limit
                // no request: the framing is lost either way.
                int64_t length = 0;
                bool valid = !d_buffer.empty();
                for (unsigned char c : d_buffer) {
                    length = length * 10 + (c - '0');
                    if (c < '0' || c > '9' || length > INT32_MAX) {
                        valid = false;
                        break;
                    }
                }
                if (!valid || length == 0) {
                    sizeError();
                    protocolError("invalid length field");
                    break;
                }
                if (length > d_max_payload) {
                    sizeError();
                    protocolError(core::strFormat("declared length %d over the limit of %d",
                                                  length, d_max_payload));
                    break;
                }
                d_expected_length = length;
                d_buffer.clear();
                // The peer chooses the length: grow with the data beyond 1 MiB.
                d_buffer.reserve(static_cast<size_t>(std::min<int64_t>(length, 1 << 20)));
                d_state = e_PAYLOAD;
            } else {
                d_buffer.push_back(static_cast<char>(b));
            }
            break;
        case e_PAYLOAD:
            d_buffer.push_back(static_cast<char>(b));
            if (static_cast<int64_t>(d_buffer.size()) == d_expected_length) {
                finishFrame();
            }
            break;
        case e_BROKEN:
            break;
        default:
            CHECKF_AT(false, "lnl_packer", packer_loc::k_BAD_STATE, "%d",
                      static_cast<int>(d_state));
            break;
    }
}

void Packer::finishFrame() {
    processFrame();
    if (d_state == e_BROKEN) {
        return;
    }
    d_buffer.clear();
    if (d_buffer.capacity() > k_KEEP_CAPACITY) {
        d_buffer.shrink_to_fit();
    }
    d_expected_length = 0;
    d_state = e_WAIT_START;
}

void Packer::processFrame() {
    // A compressed payload declares what it inflates to: beyond the limit it
    // is refused before anything is allocated for it.
    if (core::Compressor::isContainer(d_buffer.data(), d_buffer.size())) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(d_buffer.data()) + 4;
        const int64_t inflated = static_cast<int64_t>(bytes[0]) | (int64_t{bytes[1]} << 8) |
                                 (int64_t{bytes[2]} << 16) | (int64_t{bytes[3]} << 24);
        if (inflated > d_max_payload) {
            protocolError(core::strFormat("compressed payload inflating to %d over the limit of %d",
                                          inflated, d_max_payload));
            return;
        }
    }
    NS_XML::XNode tree;
    if (!tree.load(d_buffer.data(), d_buffer.size())) {
        ++d_bad_frames;
        CHECKF_NOSTOP_AT(false, "lnl_packer", packer_loc::k_BAD_FRAME);
        if (d_owner) {
            d_owner->handleBadFrame("payload does not load");
        }
        return;
    }
    Message message;
    std::string why;
    if (!fromTree(tree, &message, &why)) {
        ++d_bad_frames;
        if (d_owner) {
            d_owner->handleBadFrame(why);
        }
        return;
    }
    if (d_owner) {
        d_owner->handleProcessData(message);
    }
}

}  // namespace NS_LNL
