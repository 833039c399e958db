#include "platform/restoreproto/fsr_records.h"

#include <cstring>
#include <iterator>

#include "platform/entities/apptypes.h"

namespace fsr {

bool setClientName(FSRClasterClientName& record, std::string_view name) {
    if (name.size() >= sizeof(record.name) || name.find('\0') != std::string_view::npos) return false;
    std::memset(record.name, 0, sizeof(record.name));
    std::memcpy(record.name, name.data(), name.size());
    return true;
}

FSRRestoreItem_90 widenRestoreItem(const FSRRestoreItem_80& item) {
    FSRRestoreItem_90 wide = withLeadingItemWords<FSRRestoreItem_90>(item);
    wide.displayName = item.displayName;
    return wide;
}

FSRRestoreItem_90 widenRestoreItem(const FSRRestoreItem& item, const char* displayName) {
    FSRRestoreItem_90 wide = withLeadingItemWords<FSRRestoreItem_90>(item);
    wide.displayName = displayName;
    return wide;
}

bool oldItemNameIsDisplayName(uint64_t optionBits, apptype::EAppType appType) {
    return (optionBits & 0x3) == 0x3 || appType == apptype::kVirtualServer;
}

namespace {

struct TFlagRule {
    uint64_t bit;  // 0 for the fallback kind
    uint16_t element;
    uint32_t fieldCode;
    const char* fieldName;
    bool inverted;  // the field is 0 when the bit is set
};

// The item kind: the first rule whose bit is set, else the last (plain file).
constexpr TFlagRule kKindRules[] = {
    {0x1, 2, 0, "directory", false},
    {0x10, 6, 0xb2761, nullptr, false},
    {0x400, 10, 0x3608ae, nullptr, false},
    {0, 1, 0, "file", false},
};

// Fields that always get a value, 1 or 0, from one bit.
constexpr TFlagRule kBitRules[] = {
    {0x2, 3, 0, "deleted", false},        {0x8, 4, 0x5ac4a, nullptr, false},
    {0x20, 5, 0x72a501, nullptr, true},   {0x40, 8, 0x55d0f7, nullptr, false},
    {0x200, 9, 0x6e9daa, nullptr, false},
};
static_assert(1 + std::size(kBitRules) == kItemFlagValueCount);

}  // namespace

void mapRestoreItemFlags(uint64_t flags, TItemFlagValue (&out)[kItemFlagValueCount]) {
    const TFlagRule* kind = &kKindRules[std::size(kKindRules) - 1];
    for (const TFlagRule& rule : kKindRules) {
        if (rule.bit != 0 && (flags & rule.bit) != 0) {
            kind = &rule;
            break;
        }
    }
    out[0] = {kind->element, kind->fieldCode, kind->fieldName, 1};
    size_t n = 1;
    for (const TFlagRule& rule : kBitRules) {
        const bool set = (flags & rule.bit) != 0;
        out[n++] = {rule.element, rule.fieldCode, rule.fieldName, set != rule.inverted ? 1 : 0};
    }
}

}  // namespace fsr
