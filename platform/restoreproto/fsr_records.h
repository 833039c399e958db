// Records of the classic file-system restore protocol that the browse worker exchanges with older
// media agents, with the conversions of older item layouts and the mapping of item flags.
// Plain values: any thread may use its own records; the helpers keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/entities/apptypes.h"
#include "platform/restoreproto/fsr_layout.h"
#include "platform/restoreproto/fsr_records.def"

FSR_RECORDS(FSR_DECLARE_STRUCT)
FSR_RECORDS(FSR_DEFINE_LAYOUT)

// The envelope of an array message: a count and the first of `count` contiguous records.
struct FSRItemArray {
    uint32_t count{};
    uint32_t reserved{};
    const void* items{};

    template <class T>
    const T* itemsAs() const {
        return static_cast<const T*>(items);
    }
};
static_assert(sizeof(FSRItemArray) == 16 && offsetof(FSRItemArray, items) == 8, "array envelope layout");

namespace fsr {

// Copies a client name into its record. A name longer than the record holds is refused (false,
// record unchanged), never cut: a cut name could name another client.
bool setClientName(FSRClasterClientName& record, std::string_view name);

// The seven words every item layout begins with, in the same order, copied between two layouts (to a
// newer one when a peer's items are widened, to an older one when a peer is answered in its own).
template <class To, class From>
To withLeadingItemWords(const From& item) {
    To to;
    to.flags = item.flags;
    to.name = item.name;
    to.modificationTime = item.modificationTime;
    to.size = item.size;
    to.version = item.version;
    to.error = item.error;
    to.advancedValue = item.advancedValue;
    return to;
}

// Item of protocol 8.0 in the current layout: its eighth word becomes the display name.
FSRRestoreItem_90 widenRestoreItem(const FSRRestoreItem_80& item);

// Item of the oldest protocol in the current layout; `displayName` (null, empty or the item's own
// name, as the caller's rule decides) goes where the newer layouts carry the display name.
FSRRestoreItem_90 widenRestoreItem(const FSRRestoreItem& item, const char* displayName);

// An oldest-protocol item shows its name as display name when the task's option bits hold both
// 0x2 and 0x1, or for application type 106.
bool oldItemNameIsDisplayName(uint64_t optionBits, apptype::EAppType appType);

// One field of the returned item's flags (databrowse::BrowseItemFlags, element = presence index).
// Named fields carry their name; the others are known only by field code.
struct TItemFlagValue {
    uint16_t element;
    uint32_t fieldCode;
    const char* fieldName;
    int value;
};
constexpr size_t kItemFlagValueCount = 6;

// The flag fields an item's flag word sets, in a fixed order: the item kind (exactly one of
// directory, the 0x10 kind, the 0x400 kind, file), then deleted and the four single-bit fields.
void mapRestoreItemFlags(uint64_t flags, TItemFlagValue (&out)[kItemFlagValueCount]);

}  // namespace fsr
