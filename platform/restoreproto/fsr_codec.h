// XDR encoding of the restore-protocol records by message code (libtirpc's xdr routines), and the
// arena that owns what a decode produces. Used by the network library on whichever thread sends
// or receives; a CArena belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/restoreproto/fsr_messages.h"

namespace fsr {

enum class Status : uint8_t {
    Ok,
    ShortRecord,    // the record handed to encode is smaller than the message's record
    Unterminated,   // a character array without its NUL
    TooLong,        // a text longer than its field's cap
    BadText,        // a received text with a NUL inside it
    TooMany,        // an array count above the cap
    Truncated,      // the bytes end before the record does
    TrailingBytes,  // bytes left over after the record
};
const char* statusText(Status status);

// Growing memory for decoded records and their texts; everything handed out stays where it is
// until reset() or destruction. Memory comes zeroed.
class CArena {
public:
    void* allocate(size_t size, size_t align = alignof(std::max_align_t));
    void reset();
    bool empty() const { return used_ == 0; }

private:
    struct Block {
        std::unique_ptr<std::byte[]> data;
        size_t size;
    };
    std::vector<Block> blocks_;
    size_t used_ = 0;  // bytes handed out since the last reset
    size_t pos_ = 0;   // next free byte in the last block
};

// Largest array accepted from the wire; counts are also bounded by the bytes present.
constexpr uint32_t kMaxArrayCount = 4'000'000;

// Encoding: the size first, so that a frame is allocated once, then the bytes.
// `record` is the message's record (for Array messages an FSRItemArray); `recordSize` is the size of
// the memory it points to, checked against the record's size so that nothing past it is read.
Status encodedSize(const TMessage& message, const void* record, size_t recordSize, size_t& size);
Status encode(const TMessage& message, const void* record, size_t recordSize, uint8_t* out, size_t outSize);
Status encode(const TMessage& message, const void* record, size_t recordSize, std::vector<uint8_t>& out);

// Decoding into the arena: `record` points to the message's record (an FSRItemArray for Array
// messages, null for Empty ones) and `recordSize` is its size. Texts are NUL-terminated and never
// null; every text and array is checked against its cap and the bytes present before any memory
// is taken for it.
Status decode(const TMessage& message, const uint8_t* data, size_t size, CArena& arena, void*& record,
              size_t& recordSize);

// The same for one record of a layout (used for records that travel outside the message table).
Status encodedRecordSize(const TLayout& layout, const void* record, size_t& size);
Status encodeRecord(const TLayout& layout, const void* record, uint8_t* out, size_t outSize);
Status decodeRecord(const TLayout& layout, const uint8_t* data, size_t size, CArena& arena, void* record);

}  // namespace fsr
