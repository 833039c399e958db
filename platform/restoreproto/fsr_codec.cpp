#include "platform/restoreproto/fsr_codec.h"

#include <rpc/xdr.h>

#include <algorithm>
#include <cstring>

namespace fsr {

const char* statusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::ShortRecord:
            return "record smaller than the message's layout";
        case Status::Unterminated:
            return "character array without a terminating NUL";
        case Status::TooLong:
            return "text longer than its field allows";
        case Status::BadText:
            return "text with an embedded NUL";
        case Status::TooMany:
            return "array count above the limit";
        case Status::Truncated:
            return "record cut short";
        case Status::TrailingBytes:
            return "bytes left after the record";
    }
    return "unknown";
}

// ---- arena ------------------------------------------------------------------------------------

namespace {
// Blocks start small (most messages are one small record) and double up to the largest size.
constexpr size_t kFirstBlock = 1024;
constexpr size_t kLargestBlock = 64 * 1024;
}  // namespace

void* CArena::allocate(size_t size, size_t align) {
    if (size == 0) size = 1;
    size_t at = (pos_ + align - 1) & ~(align - 1);
    if (blocks_.empty() || at + size > blocks_.back().size) {
        const size_t grown = blocks_.empty() ? kFirstBlock : std::min(kLargestBlock, blocks_.back().size * 2);
        const size_t blockSize = std::max(grown, size);
        blocks_.push_back({std::make_unique_for_overwrite<std::byte[]>(blockSize), blockSize});
        at = 0;
    }
    std::byte* p = blocks_.back().data.get() + at;
    std::memset(p, 0, size);
    pos_ = at + size;
    used_ += size;
    return p;
}

void CArena::reset() {
    // Keep the largest ordinary block: the next message of a session usually needs about as much.
    size_t keep = blocks_.size();
    for (size_t i = 0; i < blocks_.size(); ++i) {
        if (blocks_[i].size <= kLargestBlock &&
            (keep == blocks_.size() || blocks_[i].size > blocks_[keep].size))
            keep = i;
    }
    if (keep < blocks_.size()) {
        Block kept = std::move(blocks_[keep]);
        blocks_.clear();
        blocks_.push_back(std::move(kept));
    } else {
        blocks_.clear();
    }
    pos_ = 0;
    used_ = 0;
}

// ---- encoding ---------------------------------------------------------------------------------

namespace {

inline uint32_t padded(size_t n) {
    return static_cast<uint32_t>((n + 3) & ~size_t{3});
}

// xdr_opaque reads the padding into a scratch buffer shared by every thread of the process; reading
// it into our own keeps concurrent decodes apart.
bool getOpaque(XDR* x, char* dest, u_int n) {
    if (n > 0 && !XDR_GETBYTES(x, dest, n)) return false;
    char padding[4];
    const u_int pad = (4 - n % 4) % 4;
    return pad == 0 || XDR_GETBYTES(x, padding, pad);
}

// Length of the text a field sends, or an error for a text the field cannot carry.
Status textOf(const TField& f, const uint8_t* at, const char*& text, size_t& length) {
    if (f.kind == FieldKind::Chars) {
        text = reinterpret_cast<const char*>(at);
        length = strnlen(text, f.size);
        return length < f.size ? Status::Ok : Status::Unterminated;
    }
    std::memcpy(&text, at, sizeof(text));
    length = text != nullptr ? strnlen(text, size_t{f.cap} + 1) : 0;  // a null text is sent as empty
    return length <= f.cap ? Status::Ok : Status::TooLong;
}

Status sizeOf(const TLayout& layout, const uint8_t* rec, size_t& total) {
    for (uint32_t i = 0; i < layout.fieldCount; ++i) {
        const TField& f = layout.fields[i];
        switch (f.kind) {
            case FieldKind::U64:
                total += 8 * f.count;
                break;
            case FieldKind::U32:
            case FieldKind::I32:
                total += 4 * f.count;
                break;
            case FieldKind::Chars:
            case FieldKind::Str: {
                const char* text;
                size_t length;
                if (Status s = textOf(f, rec + f.offset, text, length); s != Status::Ok) return s;
                total += 4 + padded(length);
                break;
            }
            case FieldKind::Rec:
                if (Status s = sizeOf(*f.nested, rec + f.offset, total); s != Status::Ok) return s;
                break;
            case FieldKind::Pad:
                break;
        }
    }
    return Status::Ok;
}

// The sizes were checked by sizeOf before, so a failing xdr call means a short output buffer.
bool put(XDR* x, const TLayout& layout, const uint8_t* rec) {
    for (uint32_t i = 0; i < layout.fieldCount; ++i) {
        const TField& f = layout.fields[i];
        const uint8_t* at = rec + f.offset;
        switch (f.kind) {
            case FieldKind::U64:
                for (uint32_t k = 0; k < f.count; ++k) {
                    u_int64_t v;
                    std::memcpy(&v, at + 8 * k, 8);
                    if (!xdr_u_int64_t(x, &v)) return false;
                }
                break;
            case FieldKind::U32:
            case FieldKind::I32:
                for (uint32_t k = 0; k < f.count; ++k) {
                    u_int32_t v;
                    std::memcpy(&v, at + 4 * k, 4);
                    if (!xdr_u_int32_t(x, &v)) return false;
                }
                break;
            case FieldKind::Chars:
            case FieldKind::Str: {
                const char* text;
                size_t length;
                if (textOf(f, at, text, length) != Status::Ok) return false;
                u_int n = static_cast<u_int>(length);
                if (!xdr_u_int(x, &n) || !xdr_opaque(x, const_cast<char*>(text ? text : ""), n)) return false;
                break;
            }
            case FieldKind::Rec:
                if (!put(x, *f.nested, at)) return false;
                break;
            case FieldKind::Pad:
                break;
        }
    }
    return true;
}

// ---- decoding ---------------------------------------------------------------------------------

class CReader {
public:
    CReader(const uint8_t* data, size_t size, CArena& arena) : size_(size), arena_(arena) {
        xdrmem_create(&x_, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size),
                      XDR_DECODE);
    }
    ~CReader() { xdr_destroy(&x_); }

    size_t remaining() { return size_ - xdr_getpos(&x_); }

    Status count(uint32_t& n) { return xdr_u_int32_t(&x_, &n) ? Status::Ok : Status::Truncated; }

    Status record(const TLayout& layout, uint8_t* rec) {
        if (remaining() < layout.minEncoded) return Status::Truncated;
        for (uint32_t i = 0; i < layout.fieldCount; ++i) {
            const TField& f = layout.fields[i];
            uint8_t* at = rec + f.offset;
            switch (f.kind) {
                case FieldKind::U64:
                    for (uint32_t k = 0; k < f.count; ++k) {
                        u_int64_t v;
                        if (!xdr_u_int64_t(&x_, &v)) return Status::Truncated;
                        std::memcpy(at + 8 * k, &v, 8);
                    }
                    break;
                case FieldKind::U32:
                case FieldKind::I32:
                    for (uint32_t k = 0; k < f.count; ++k) {
                        u_int32_t v;
                        if (!xdr_u_int32_t(&x_, &v)) return Status::Truncated;
                        std::memcpy(at + 4 * k, &v, 4);
                    }
                    break;
                case FieldKind::Chars:
                case FieldKind::Str:
                    if (Status s = text(f, at); s != Status::Ok) return s;
                    break;
                case FieldKind::Rec:
                    if (Status s = record(*f.nested, at); s != Status::Ok) return s;
                    break;
                case FieldKind::Pad:
                    break;
            }
        }
        return Status::Ok;
    }

private:
    Status text(const TField& f, uint8_t* at) {
        u_int n;
        if (!xdr_u_int(&x_, &n)) return Status::Truncated;
        if (n > f.cap) return Status::TooLong;
        if (padded(n) > remaining()) return Status::Truncated;
        // Character arrays are filled in place (the record is zeroed, so the NUL is there);
        // pointer fields get their text in the arena.
        char* dest = reinterpret_cast<char*>(at);
        if (f.kind == FieldKind::Str) {
            dest = static_cast<char*>(arena_.allocate(size_t{n} + 1, 1));
            std::memcpy(at, &dest, sizeof(dest));
        }
        if (!getOpaque(&x_, dest, n)) return Status::Truncated;
        return std::memchr(dest, 0, n) == nullptr ? Status::Ok : Status::BadText;
    }

    XDR x_;
    size_t size_;
    CArena& arena_;
};

const FSRItemArray& envelopeOf(const void* record) {
    return *static_cast<const FSRItemArray*>(record);
}

}  // namespace

// ---- records ----------------------------------------------------------------------------------

Status encodedRecordSize(const TLayout& layout, const void* record, size_t& size) {
    size = 0;
    return sizeOf(layout, static_cast<const uint8_t*>(record), size);
}

Status encodeRecord(const TLayout& layout, const void* record, uint8_t* out, size_t outSize) {
    size_t need;
    if (Status s = encodedRecordSize(layout, record, need); s != Status::Ok) return s;
    if (need > outSize) return Status::ShortRecord;
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(out), static_cast<u_int>(outSize), XDR_ENCODE);
    const bool ok = put(&x, layout, static_cast<const uint8_t*>(record));
    xdr_destroy(&x);
    return ok ? Status::Ok : Status::ShortRecord;
}

Status decodeRecord(const TLayout& layout, const uint8_t* data, size_t size, CArena& arena, void* record) {
    std::memset(record, 0, layout.size);
    CReader reader(data, size, arena);
    if (Status s = reader.record(layout, static_cast<uint8_t*>(record)); s != Status::Ok) return s;
    return reader.remaining() == 0 ? Status::Ok : Status::TrailingBytes;
}

// ---- messages ---------------------------------------------------------------------------------

Status encodedSize(const TMessage& message, const void* record, size_t recordSize, size_t& size) {
    size = 0;
    switch (message.shape) {
        case Shape::Empty:
            return Status::Ok;
        case Shape::Single:
            if (record == nullptr || recordSize < message.layout->size) return Status::ShortRecord;
            return sizeOf(*message.layout, static_cast<const uint8_t*>(record), size);
        case Shape::Array: {
            if (record == nullptr || recordSize < sizeof(FSRItemArray)) return Status::ShortRecord;
            const FSRItemArray& array = envelopeOf(record);
            if (array.count > kMaxArrayCount) return Status::TooMany;
            if (array.count > 0 && array.items == nullptr) return Status::ShortRecord;
            size = 4;
            const auto* items = static_cast<const uint8_t*>(array.items);
            for (uint32_t i = 0; i < array.count; ++i) {
                if (Status s = sizeOf(*message.layout, items + size_t{i} * message.layout->size, size);
                    s != Status::Ok)
                    return s;
            }
            return Status::Ok;
        }
    }
    return Status::ShortRecord;
}

Status encode(const TMessage& message, const void* record, size_t recordSize, uint8_t* out, size_t outSize) {
    size_t need;
    if (Status s = encodedSize(message, record, recordSize, need); s != Status::Ok) return s;
    if (need > outSize) return Status::ShortRecord;
    if (message.shape == Shape::Empty) return Status::Ok;
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(out), static_cast<u_int>(outSize), XDR_ENCODE);
    bool ok = true;
    if (message.shape == Shape::Single) {
        ok = put(&x, *message.layout, static_cast<const uint8_t*>(record));
    } else {
        const FSRItemArray& array = envelopeOf(record);
        u_int32_t count = array.count;
        ok = xdr_u_int32_t(&x, &count);
        const auto* items = static_cast<const uint8_t*>(array.items);
        for (uint32_t i = 0; ok && i < array.count; ++i)
            ok = put(&x, *message.layout, items + size_t{i} * message.layout->size);
    }
    xdr_destroy(&x);
    return ok ? Status::Ok : Status::ShortRecord;
}

Status encode(const TMessage& message, const void* record, size_t recordSize, std::vector<uint8_t>& out) {
    size_t need;
    if (Status s = encodedSize(message, record, recordSize, need); s != Status::Ok) return s;
    const size_t at = out.size();
    out.resize(at + need);
    Status s = encode(message, record, recordSize, out.data() + at, need);
    if (s != Status::Ok) out.resize(at);
    return s;
}

Status decode(const TMessage& message, const uint8_t* data, size_t size, CArena& arena, void*& record,
              size_t& recordSize) {
    record = nullptr;
    recordSize = 0;
    if (message.shape == Shape::Empty) return size == 0 ? Status::Ok : Status::TrailingBytes;

    CReader reader(data, size, arena);
    const TLayout& layout = *message.layout;
    if (message.shape == Shape::Single) {
        if (size < layout.minEncoded) return Status::Truncated;
        auto* rec = static_cast<uint8_t*>(arena.allocate(layout.size));
        if (Status s = reader.record(layout, rec); s != Status::Ok) return s;
        if (reader.remaining() != 0) return Status::TrailingBytes;
        record = rec;
        recordSize = layout.size;
        return Status::Ok;
    }

    uint32_t count;
    if (Status s = reader.count(count); s != Status::Ok) return s;
    if (count > kMaxArrayCount) return Status::TooMany;
    // Every element needs at least minEncoded bytes: a count the bytes cannot hold is refused
    // before the items are allocated.
    if (uint64_t{count} * layout.minEncoded > reader.remaining()) return Status::Truncated;
    auto* envelope = static_cast<FSRItemArray*>(arena.allocate(sizeof(FSRItemArray)));
    auto* items = static_cast<uint8_t*>(arena.allocate(size_t{count} * layout.size));
    for (uint32_t i = 0; i < count; ++i) {
        if (Status s = reader.record(layout, items + size_t{i} * layout.size); s != Status::Ok) return s;
    }
    if (reader.remaining() != 0) return Status::TrailingBytes;
    envelope->count = count;
    envelope->items = items;
    record = envelope;
    recordSize = sizeof(FSRItemArray);
    return Status::Ok;
}

}  // namespace fsr
