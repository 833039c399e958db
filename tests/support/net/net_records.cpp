#include "tests/support/net/net_records.h"

#include <cstring>

namespace hubtest {

void fillRecord(const fsr::TLayout& layout, void* record, uint64_t seed, TTextStore& texts) {
    auto* rec = static_cast<uint8_t*>(record);
    for (uint32_t i = 0; i < layout.fieldCount; ++i) {
        const fsr::TField& f = layout.fields[i];
        uint8_t* at = rec + f.offset;
        for (uint32_t k = 0; k < f.count; ++k) {
            // High and low bits both vary, so a word cut to 32 bits or swapped shows.
            const uint64_t value = (seed << 40) ^ (uint64_t{f.offset} << 8) ^ (k + 1) ^ 0x8000000000000001ull;
            switch (f.kind) {
                case fsr::FieldKind::U64:
                    std::memcpy(at + 8 * k, &value, 8);
                    break;
                case fsr::FieldKind::U32:
                case fsr::FieldKind::I32: {
                    const uint32_t v = static_cast<uint32_t>(value ^ (value >> 32));
                    std::memcpy(at + 4 * k, &v, 4);
                    break;
                }
                case fsr::FieldKind::Chars: {
                    const std::string text = "c" + std::to_string(seed) + "." + std::to_string(f.offset);
                    std::memcpy(at, text.data(), std::min<size_t>(text.size(), f.cap));
                    break;
                }
                case fsr::FieldKind::Str: {
                    texts.push_back("s" + std::to_string(seed) + "." + std::to_string(f.offset) +
                                    "/\xc3\xa9");
                    const char* p = texts.back().c_str();
                    std::memcpy(at, &p, sizeof(p));
                    break;
                }
                case fsr::FieldKind::Rec:
                    fillRecord(*f.nested, at, seed + 7, texts);
                    break;
                case fsr::FieldKind::Pad:
                    break;
            }
        }
    }
}

std::string compareRecords(const fsr::TLayout& layout, const void* expected, const void* actual) {
    const auto* a = static_cast<const uint8_t*>(expected);
    const auto* b = static_cast<const uint8_t*>(actual);
    for (uint32_t i = 0; i < layout.fieldCount; ++i) {
        const fsr::TField& f = layout.fields[i];
        const std::string where = std::string(layout.name) + " at offset " + std::to_string(f.offset);
        switch (f.kind) {
            case fsr::FieldKind::Str: {
                const char* x;
                const char* y;
                std::memcpy(&x, a + f.offset, sizeof(x));
                std::memcpy(&y, b + f.offset, sizeof(y));
                if (y == nullptr) return where + ": null text";
                if (std::strcmp(x ? x : "", y) != 0)
                    return where + ": [" + (x ? x : "") + "] became [" + y + "]";
                break;
            }
            case fsr::FieldKind::Rec: {
                const std::string inner = compareRecords(*f.nested, a + f.offset, b + f.offset);
                if (!inner.empty()) return inner;
                break;
            }
            default:
                if (std::memcmp(a + f.offset, b + f.offset, size_t{f.size} * f.count) != 0)
                    return where + " differs";
        }
    }
    return std::string();
}

void fillMessage(const fsr::TMessage& message, uint32_t count, uint64_t seed, TFilledMessage& out) {
    if (message.shape == fsr::Shape::Empty) return;
    const fsr::TLayout& layout = *message.layout;
    if (message.shape == fsr::Shape::Single) {
        out.record.assign(layout.size, 0);
        fillRecord(layout, out.record.data(), seed, out.texts);
        return;
    }
    out.items.assign(size_t{count} * layout.size, 0);
    for (uint32_t i = 0; i < count; ++i)
        fillRecord(layout, out.items.data() + size_t{i} * layout.size, seed + i, out.texts);
    FSRItemArray array;
    array.count = count;
    array.items = out.items.data();
    out.record.assign(reinterpret_cast<const uint8_t*>(&array),
                      reinterpret_cast<const uint8_t*>(&array) + sizeof(array));
}

std::string compareMessage(const fsr::TMessage& message, const TFilledMessage& expected,
                           const void* received) {
    if (message.shape == fsr::Shape::Empty) return std::string();
    if (received == nullptr) return "no record received";
    const fsr::TLayout& layout = *message.layout;
    if (message.shape == fsr::Shape::Single) return compareRecords(layout, expected.record.data(), received);
    const auto* want = reinterpret_cast<const FSRItemArray*>(expected.record.data());
    const auto* got = static_cast<const FSRItemArray*>(received);
    if (want->count != got->count)
        return "count " + std::to_string(want->count) + " became " + std::to_string(got->count);
    for (uint32_t i = 0; i < want->count; ++i) {
        const std::string diff =
            compareRecords(layout, static_cast<const uint8_t*>(want->items) + size_t{i} * layout.size,
                           static_cast<const uint8_t*>(got->items) + size_t{i} * layout.size);
        if (!diff.empty()) return "item " + std::to_string(i) + ": " + diff;
    }
    return std::string();
}

std::vector<uint32_t> allMessageCodes() {
#define HUBTEST_CODE(code, name, shape, record) code,
    return {FSR_MESSAGES(HUBTEST_CODE)};
#undef HUBTEST_CODE
}

}  // namespace hubtest
