#include "sdo_transfer.h"

#include <atomic>
#include <cstring>

#include "../cia402/codes.h"
#include "deadline.h"
#include "exchange.h"
#include "orvex.h"
#include "port_state.h"
#include "time_limits.h"

namespace orvex {
namespace {

// Command bytes (CAN data byte 0) of the client's requests.
namespace request {
constexpr std::uint8_t kInitiateDownload = 0x20;  // | n << 2 | expedited << 1 | size indicated
constexpr std::uint8_t kInitiateUpload = 0x40;
constexpr std::uint8_t kUploadSegment = 0x60;           // | toggle << 4
constexpr std::uint8_t kBlockUploadInitiate = 0xA4;     // CRC supported
constexpr std::uint8_t kBlockUploadEndResponse = 0xA1;  // the last step of a block upload
constexpr std::uint8_t kBlockAck = 0xA2;
constexpr std::uint8_t kBlockUploadStart = 0xA3;
constexpr std::uint8_t kBlockDownloadInitiate = 0xC6;  // CRC supported, size indicated
constexpr std::uint8_t kBlockDownloadEnd = 0xC1;       // | n << 2
}  // namespace request

// Command bytes of the server's answers.
namespace answer {
constexpr std::uint8_t kDownloadSegmentResponse = 0x20;  // | toggle << 4
constexpr std::uint8_t kInitiateDownloadResponse = 0x60;
constexpr std::uint8_t kBlockDownloadInitiateResponse = 0xA0;  // | CRC << 2
constexpr std::uint8_t kBlockDownloadEndResponse = 0xA1;
constexpr std::uint8_t kBlockAck = 0xA2;
constexpr std::uint8_t kBlockUploadInitiateResponse = 0xC0;  // | CRC << 2 | size indicated << 1
constexpr std::uint8_t kBlockUploadEnd = 0xC1;               // | n << 2
}  // namespace answer

// Threshold in the low half, block size in the high half: one word, so a transfer never sees one
// old and one new value.
std::atomic<std::uint32_t> g_block{0};

// Which frames a step takes as its answer.
enum class From {
    kObject,   // a frame naming the object, as classify_answer allows (initiate responses)
    kSession,  // a frame from the node's own response identifier (segments name no object)
};

// The client's side of one transfer: the exchange that holds the line for all of its steps, the
// server's node and object, the wait of the step in progress and the last answer taken.
class SdoChannel {
  public:
    // `size_bound`: the most bytes the transfer can carry (the data, or the buffer's capacity);
    // it bounds the number of steps, so no transfer runs for ever.
    SdoChannel(Exchange& exchange, int node, ObjectEntry entry, std::size_t size_bound)
        : exchange_(exchange),
          node_(node),
          entry_(entry),
          limit_ms_(query_limit_ms()),
          steps_left_(2 * (size_bound / kSegmentBytes + 8)) {
        record_ = TransferRecord{};
        exchange_.claim(node);
    }

    // The CAN data of the last answer taken.
    const std::uint8_t* data() const { return frame_ + 2; }
    std::uint8_t command() const { return frame_[2]; }
    TransferRecord& transfer() { return record_; }

    // A request with the object's multiplexer in data bytes 1-3.
    void object_request(std::uint8_t command, std::uint8_t* into) const {
        into[0] = command;
        into[1] = static_cast<std::uint8_t>(entry_.index & 0xFF);
        into[2] = static_cast<std::uint8_t>(entry_.index >> 8);
        into[3] = entry_.subindex;
    }

    // Lays out a frame to the node's SDO request identifier with `data` (8 bytes).
    void frame_into(std::uint8_t* frame, const std::uint8_t* data) const {
        std::memcpy(frame, sdo_request(node_, data).data(), kFrameSize);
    }

    // Writes `count` frames laid out in `frames` in one write; the next step's time starts then,
    // with the time they take on the line added.
    Outcome send_frames(const std::uint8_t* frames, std::size_t count) {
        const Outcome sent = exchange_.send(frames, count * kFrameSize);
        wait_ = FrameWait(Deadline::starting_now(limit_ms_ + wire_ms(count + 1, port_baud())));
        return sent;
    }

    Outcome send(const std::uint8_t* data) {
        std::uint8_t frame[kFrameSize];
        frame_into(frame, data);
        return send_frames(frame, 1);
    }

    // The next segment of a block waits the query limit from the one before, not from the block's
    // start: a long block at a slow baud is not a time-out.
    void next_segment_wait() { wait_ = FrameWait(Deadline::starting_now(limit_ms_)); }

    // Waits for the server's next answer of the kind `from`. Any abort from the server ends the
    // transfer, whatever object it names (kSdoAbort, recorded); a time-out or a cancel aborts the
    // transfer on the wire; so does a transfer that has used up its steps.
    Outcome await(From from) {
        if (steps_left_-- == 0) return time_out(Outcome::kTimeout);
        const Outcome received =
            exchange_.await(wait_, frame_, [this, from](const std::uint8_t* frame) {
                const bool object = answers_object(frame, node_, entry_);
                const bool own = from_own_server(frame);
                if (frame[2] == sdo::kAbort && (object || own)) return true;
                return from == From::kObject ? object : own;
            });
        if (received == Outcome::kTimeout || received == Outcome::kCancelled)
            return time_out(received);
        if (received != Outcome::kOk) return received;
        if (command() == sdo::kAbort) {
            record_abort(answer_u32(frame_));
            return Outcome::kSdoAbort;
        }
        return Outcome::kOk;
    }

    // Ends the transfer with `code` on the wire; the call fails with it.
    Outcome abort(std::uint32_t code) {
        send_abort(code);
        record_abort(code);
        return Outcome::kSdoAbort;
    }

    // Fails with `code` without a frame: the server has finished the transfer already.
    static Outcome refuse(std::uint32_t code) {
        record_abort(code);
        return Outcome::kSdoAbort;
    }

  private:
    bool from_own_server(const std::uint8_t* frame) const {
        return frame_id(frame) == kSdoResponseBase + node_byte(node_);
    }

    void send_abort(std::uint32_t code) {
        std::uint8_t data[8] = {};
        object_request(sdo::kAbort, data);
        store_u32(data + 4, code);
        std::uint8_t frame[kFrameSize];
        frame_into(frame, data);
        exchange_.send(frame, kFrameSize);
    }

    Outcome time_out(Outcome outcome) {
        send_abort(abort_code::kTimeout);
        record(outcome);
        return outcome;
    }

    Exchange& exchange_;
    int node_;
    ObjectEntry entry_;
    int limit_ms_;
    std::size_t steps_left_;
    FrameWait wait_{Deadline::starting_now(0)};
    std::uint8_t frame_[kFrameSize] = {};
    TransferRecord& record_ = last_result().transfer;
};

// The protocols, one function each, over the channel of one transfer.
Outcome segmented_upload(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                         std::size_t& length);
Outcome after_upload_initiate(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                              std::size_t& length);
Outcome block_upload(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                     std::size_t& length, int block_size, int threshold, bool& refused);
Outcome segmented_download(SdoChannel& channel, const std::uint8_t* data, std::size_t length);
Outcome block_download(SdoChannel& channel, const std::uint8_t* data, std::size_t length,
                       bool& refused);

// A server that has no block transfers answers the block initiate with this.
bool refuses_block(std::uint32_t code) {
    return code == abort_code::kCommand;
}

Outcome upload(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
               std::size_t& length) {
    const BlockSettings block = block_transfer();
    if (block.threshold > 0) {
        bool refused = false;
        const Outcome outcome = block_upload(channel, buffer, capacity, length, block.block_size,
                                             block.threshold, refused);
        if (!refused) return outcome;
        channel.transfer().flags |= ORVEX_TRANSFER_FELL_BACK;
    }
    return segmented_upload(channel, buffer, capacity, length);
}

Outcome segmented_upload(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                         std::size_t& length) {
    std::uint8_t data[8] = {};
    channel.object_request(request::kInitiateUpload, data);
    const Outcome sent = channel.send(data);
    if (sent != Outcome::kOk) return sent;
    const Outcome answered = channel.await(From::kObject);
    if (answered != Outcome::kOk) return answered;
    return after_upload_initiate(channel, buffer, capacity, length);
}

// Continues an upload from the server's initiate response (0x40-0x5F), which a block upload
// initiate may get too when the server switches to the plain protocol.
Outcome after_upload_initiate(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                              std::size_t& length) {
    const std::uint8_t initiate = channel.command();
    if ((initiate & 0xE0) != 0x40) return channel.abort(abort_code::kCommand);
    const bool size_indicated = (initiate & 0x01) != 0;
    if (size_indicated) channel.transfer().flags |= ORVEX_TRANSFER_SIZE_INDICATED;
    if ((initiate & 0x02) != 0) {
        // Expedited: the data came with the answer; without a size, all four bytes count.
        channel.transfer().kind = ORVEX_TRANSFER_EXPEDITED;
        const std::size_t size = size_indicated ? 4u - ((initiate >> 2) & 0x03u) : 4u;
        length = size;
        if (size > capacity) return channel.refuse(abort_code::kOutOfMemory);
        if (size > 0) std::memcpy(buffer, channel.data() + 4, size);
        record(Outcome::kOk);
        return Outcome::kOk;
    }
    channel.transfer().kind = ORVEX_TRANSFER_SEGMENTED;
    const std::size_t announced = size_indicated ? load_u32(channel.data() + 4) : 0;
    if (size_indicated && announced > capacity) {
        length = announced;
        return channel.abort(abort_code::kOutOfMemory);
    }
    std::size_t received = 0;
    for (std::uint8_t toggle = 0;; toggle ^= 1) {
        std::uint8_t segment_request[8] = {
            static_cast<std::uint8_t>(request::kUploadSegment | toggle << 4)};
        const Outcome sent = channel.send(segment_request);
        if (sent != Outcome::kOk) return sent;
        const Outcome answered = channel.await(From::kSession);
        if (answered != Outcome::kOk) return answered;
        const std::uint8_t segment = channel.command();
        if ((segment & 0xE0) != 0) return channel.abort(abort_code::kCommand);
        if (((segment >> 4) & 1) != toggle) return channel.abort(abort_code::kToggle);
        const std::size_t bytes = kSegmentBytes - ((segment >> 1) & 0x07u);
        ++channel.transfer().segments;
        if (size_indicated && received + bytes > announced)
            return channel.abort(abort_code::kTooLong);
        if (received + bytes > capacity) {
            length = received + bytes;
            return channel.abort(abort_code::kOutOfMemory);
        }
        if (bytes > 0) std::memcpy(buffer + received, channel.data() + 1, bytes);
        received += bytes;
        if ((segment & 0x01) != 0) break;
    }
    length = received;
    // The server has ended the transfer: a short object is refused without a frame.
    if (size_indicated && received != announced) return channel.refuse(abort_code::kTooShort);
    record(Outcome::kOk);
    return Outcome::kOk;
}

Outcome initiate_block(SdoChannel& channel, const std::uint8_t* request, bool& refused) {
    const Outcome sent = channel.send(request);
    if (sent != Outcome::kOk) return sent;
    const Outcome answered = channel.await(From::kObject);
    refused = answered == Outcome::kSdoAbort && refuses_block(last_result().abort_code);
    return answered;
}

Outcome block_upload(SdoChannel& channel, std::uint8_t* buffer, std::size_t capacity,
                     std::size_t& length, int block_size, int threshold, bool& refused) {
    std::uint8_t data_out[8] = {};
    channel.object_request(request::kBlockUploadInitiate, data_out);
    data_out[4] = static_cast<std::uint8_t>(block_size);
    // Objects up to the threshold may come the plain way; the switch threshold is one byte.
    data_out[5] = static_cast<std::uint8_t>(threshold > 255 ? 255 : threshold);
    Outcome step = initiate_block(channel, data_out, refused);
    if (step != Outcome::kOk) return step;
    if ((channel.command() & 0xE0) == 0x40)
        return after_upload_initiate(channel, buffer, capacity, length);
    if ((channel.command() & 0xF9) != answer::kBlockUploadInitiateResponse)
        return channel.abort(abort_code::kCommand);
    channel.transfer().kind = ORVEX_TRANSFER_BLOCK;
    const bool crc = (channel.command() & 0x04) != 0;
    const bool size_indicated = (channel.command() & 0x02) != 0;
    const std::size_t announced = size_indicated ? load_u32(channel.data() + 4) : 0;
    if (size_indicated) channel.transfer().flags |= ORVEX_TRANSFER_SIZE_INDICATED;
    if (crc) channel.transfer().flags |= ORVEX_TRANSFER_CRC;
    if (size_indicated && announced > capacity) {
        length = announced;
        return channel.abort(abort_code::kOutOfMemory);
    }

    std::uint8_t start[8] = {request::kBlockUploadStart};
    step = channel.send(start);
    if (step != Outcome::kOk) return step;
    // Segments taken in order are stored at once; the last one waits here until the end message
    // says how many of its bytes are data.
    std::size_t received = 0;
    std::uint8_t last[kSegmentBytes] = {};
    for (bool have_last = false; !have_last;) {
        int expected = 1;
        for (bool block_over = false; !block_over;) {
            step = channel.await(From::kSession);
            if (step != Outcome::kOk) return step;
            channel.next_segment_wait();
            const int sequence = channel.command() & 0x7F;
            const bool final_segment = (channel.command() & 0x80) != 0;
            // No segment is numbered 0 or beyond the block: the frame is not a segment of ours.
            if (sequence == 0 || sequence > block_size) return channel.abort(abort_code::kSequence);
            ++channel.transfer().segments;
            if (sequence == expected) {
                if (final_segment) {
                    std::memcpy(last, channel.data() + 1, kSegmentBytes);
                    have_last = true;
                } else {
                    if (size_indicated && received + kSegmentBytes > announced)
                        return channel.abort(abort_code::kTooLong);
                    if (received + kSegmentBytes > capacity) {
                        length = received + kSegmentBytes;
                        return channel.abort(abort_code::kOutOfMemory);
                    }
                    std::memcpy(buffer + received, channel.data() + 1, kSegmentBytes);
                    received += kSegmentBytes;
                }
                ++expected;
            } else {
                // A segment was lost: the rest of the block is dropped and sent again.
                channel.transfer().flags |= ORVEX_TRANSFER_REPEATED;
            }
            block_over = final_segment || sequence >= block_size;
        }
        std::uint8_t ack[8] = {request::kBlockAck, static_cast<std::uint8_t>(expected - 1),
                               static_cast<std::uint8_t>(block_size)};
        step = channel.send(ack);
        if (step != Outcome::kOk) return step;
    }

    step = channel.await(From::kSession);
    if (step != Outcome::kOk) return step;
    if ((channel.command() & 0xE3) != answer::kBlockUploadEnd)
        return channel.abort(abort_code::kCommand);
    const std::size_t last_bytes = kSegmentBytes - ((channel.command() >> 2) & 0x07u);
    const std::size_t total = received + last_bytes;
    if (size_indicated && total != announced) return channel.abort(abort_code::kLength);
    if (total > capacity) {
        length = total;
        return channel.abort(abort_code::kOutOfMemory);
    }
    if (last_bytes > 0) std::memcpy(buffer + received, last, last_bytes);
    const std::uint16_t their_crc =
        static_cast<std::uint16_t>(channel.data()[1] | channel.data()[2] << 8);
    if (crc && block_crc(buffer, total) != their_crc) return channel.abort(abort_code::kCrc);
    std::uint8_t end[8] = {request::kBlockUploadEndResponse};
    step = channel.send(end);
    if (step != Outcome::kOk) return step;
    length = total;
    record(Outcome::kOk);
    return Outcome::kOk;
}

Outcome download(SdoChannel& channel, const std::uint8_t* data, std::size_t length) {
    const BlockSettings block = block_transfer();
    if (block.threshold > 0 && length > 4 && length > static_cast<std::size_t>(block.threshold)) {
        bool refused = false;
        const Outcome outcome = block_download(channel, data, length, refused);
        if (!refused) return outcome;
        channel.transfer().flags |= ORVEX_TRANSFER_FELL_BACK;
    }
    return segmented_download(channel, data, length);
}

Outcome segmented_download(SdoChannel& channel, const std::uint8_t* data, std::size_t length) {
    std::uint8_t out[8] = {};
    channel.transfer().flags |= ORVEX_TRANSFER_SIZE_INDICATED;
    const bool expedited = length >= 1 && length <= 4;
    if (expedited) {
        channel.transfer().kind = ORVEX_TRANSFER_EXPEDITED;
        channel.object_request(
            static_cast<std::uint8_t>(request::kInitiateDownload | (4 - length) << 2 | 0x03), out);
        std::memcpy(out + 4, data, length);
    } else {
        channel.transfer().kind = ORVEX_TRANSFER_SEGMENTED;
        channel.object_request(request::kInitiateDownload | 0x01, out);
        store_u32(out + 4, static_cast<std::uint32_t>(length));
    }
    Outcome step = channel.send(out);
    if (step != Outcome::kOk) return step;
    step = channel.await(From::kObject);
    if (step != Outcome::kOk) return step;
    if (channel.command() != answer::kInitiateDownloadResponse)
        return channel.abort(abort_code::kCommand);

    if (!expedited) {
        std::size_t sent = 0;
        for (std::uint8_t toggle = 0;; toggle ^= 1) {
            const std::size_t bytes = length - sent < kSegmentBytes ? length - sent : kSegmentBytes;
            const bool final_segment = sent + bytes == length;
            std::uint8_t segment[8] = {static_cast<std::uint8_t>(
                toggle << 4 | (kSegmentBytes - bytes) << 1 | (final_segment ? 1 : 0))};
            if (bytes > 0) std::memcpy(segment + 1, data + sent, bytes);
            step = channel.send(segment);
            if (step != Outcome::kOk) return step;
            step = channel.await(From::kSession);
            if (step != Outcome::kOk) return step;
            ++channel.transfer().segments;
            if ((channel.command() & 0xEF) != answer::kDownloadSegmentResponse)
                return channel.abort(abort_code::kCommand);
            if (((channel.command() >> 4) & 1) != toggle) return channel.abort(abort_code::kToggle);
            sent += bytes;
            if (final_segment) break;
        }
    }
    record(Outcome::kOk);
    return Outcome::kOk;
}

Outcome block_download(SdoChannel& channel, const std::uint8_t* data, std::size_t length,
                       bool& refused) {
    std::uint8_t out[8] = {};
    channel.object_request(request::kBlockDownloadInitiate, out);
    store_u32(out + 4, static_cast<std::uint32_t>(length));
    Outcome step = initiate_block(channel, out, refused);
    if (step != Outcome::kOk) return step;
    if ((channel.command() & 0xFB) != answer::kBlockDownloadInitiateResponse)
        return channel.abort(abort_code::kCommand);
    channel.transfer().kind = ORVEX_TRANSFER_BLOCK;
    channel.transfer().flags |= ORVEX_TRANSFER_SIZE_INDICATED;
    const bool crc = (channel.command() & 0x04) != 0;
    if (crc) channel.transfer().flags |= ORVEX_TRANSFER_CRC;
    int block_size = channel.data()[4];
    if (block_size < 1 || block_size > kMaxBlockSize) return channel.abort(abort_code::kBlockSize);

    // A whole block goes out in one write: through a serial adapter the segments then follow each
    // other at the line's pace, with no round trip between them.
    std::uint8_t frames[kMaxBlockSize * kFrameSize];
    std::size_t acknowledged = 0;
    for (bool done = false; !done;) {
        int count = 0;
        bool final_in_block = false;
        for (std::size_t at = acknowledged; count < block_size && !final_in_block;) {
            const std::size_t bytes = length - at < kSegmentBytes ? length - at : kSegmentBytes;
            final_in_block = at + bytes == length;
            std::uint8_t segment[8] = {
                static_cast<std::uint8_t>((count + 1) | (final_in_block ? 0x80 : 0))};
            std::memcpy(segment + 1, data + at, bytes);
            channel.frame_into(frames + static_cast<std::size_t>(count) * kFrameSize, segment);
            at += bytes;
            ++count;
        }
        channel.transfer().segments += count;
        step = channel.send_frames(frames, static_cast<std::size_t>(count));
        if (step != Outcome::kOk) return step;
        step = channel.await(From::kSession);
        if (step != Outcome::kOk) return step;
        if (channel.command() != answer::kBlockAck) return channel.abort(abort_code::kCommand);
        const int taken = channel.data()[1];
        if (taken > count) return channel.abort(abort_code::kSequence);
        if (taken < count) channel.transfer().flags |= ORVEX_TRANSFER_REPEATED;
        acknowledged += static_cast<std::size_t>(taken) * kSegmentBytes;
        if (acknowledged > length) acknowledged = length;
        done = final_in_block && taken == count;
        block_size = channel.data()[2];
        if (!done && (block_size < 1 || block_size > kMaxBlockSize))
            return channel.abort(abort_code::kBlockSize);
    }

    const std::size_t tail = length % kSegmentBytes == 0 ? kSegmentBytes : length % kSegmentBytes;
    const std::uint16_t sum = crc ? block_crc(data, length) : 0;
    std::uint8_t end[8] = {
        static_cast<std::uint8_t>(request::kBlockDownloadEnd | (kSegmentBytes - tail) << 2),
        static_cast<std::uint8_t>(sum & 0xFF), static_cast<std::uint8_t>(sum >> 8)};
    step = channel.send(end);
    if (step != Outcome::kOk) return step;
    step = channel.await(From::kSession);
    if (step != Outcome::kOk) return step;
    if (channel.command() != answer::kBlockDownloadEndResponse)
        return channel.abort(abort_code::kCommand);
    record(Outcome::kOk);
    return Outcome::kOk;
}

}  // namespace

bool set_block_transfer(int threshold, int block_size) {
    if (threshold < 0 || threshold > 0xFFFF) return false;
    if (block_size < (threshold == 0 ? 0 : 1) || block_size > kMaxBlockSize) return false;
    g_block.store(static_cast<std::uint32_t>(threshold) | static_cast<std::uint32_t>(block_size)
                                                              << 16,
                  std::memory_order_relaxed);
    return true;
}

BlockSettings block_transfer() {
    const std::uint32_t word = g_block.load(std::memory_order_relaxed);
    return BlockSettings{static_cast<int>(word & 0xFFFFu), static_cast<int>(word >> 16)};
}

std::uint16_t block_crc(const std::uint8_t* data, std::size_t length, std::uint16_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Outcome upload_object(int node, ObjectEntry entry, std::uint8_t* buffer, std::size_t capacity,
                      std::size_t& length) {
    CancelScope scope;  // every step's wait counts from the transfer's start
    Exchange exchange;
    length = 0;
    SdoChannel channel(exchange, node, entry, capacity);
    if (!exchange.has_port()) {
        record(Outcome::kNoPort);
        return Outcome::kNoPort;
    }
    exchange.drain();
    return upload(channel, buffer, capacity, length);
}

Outcome download_object(int node, ObjectEntry entry, const std::uint8_t* data, std::size_t length) {
    CancelScope scope;  // every step's wait counts from the transfer's start
    Exchange exchange;
    SdoChannel channel(exchange, node, entry, length);
    if (!exchange.has_port()) {
        record(Outcome::kNoPort);
        return Outcome::kNoPort;
    }
    exchange.drain();
    return download(channel, data, length);
}

}  // namespace orvex
