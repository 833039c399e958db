#include "platform/restoreproto/fsr_messages.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace fsr {
namespace {

#define FSR_LAYOUT_Empty(record) nullptr
#define FSR_LAYOUT_Single(record) &LayoutOf<record>::layout
#define FSR_LAYOUT_Array(record) &LayoutOf<record>::layout
#define FSR_MESSAGE_ENTRY(code, name, shape, record) \
    TMessage{code, #name, Shape::shape, FSR_LAYOUT_##shape(record)},

constexpr auto kMessagesByCode = [] {
    std::array messages{FSR_MESSAGES(FSR_MESSAGE_ENTRY)};
    std::sort(messages.begin(), messages.end(),
              [](const TMessage& a, const TMessage& b) { return a.code < b.code; });
    return messages;
}();

constexpr bool codesUnique() {
    for (size_t i = 1; i < kMessagesByCode.size(); ++i) {
        if (kMessagesByCode[i - 1].code == kMessagesByCode[i].code) return false;
    }
    return true;
}
static_assert(codesUnique(), "a message code is listed twice");

}  // namespace

const TMessage* findMessage(unsigned long code) {
    auto it = std::lower_bound(kMessagesByCode.begin(), kMessagesByCode.end(), code,
                               [](const TMessage& m, unsigned long c) { return m.code < c; });
    return it != kMessagesByCode.end() && it->code == code ? &*it : nullptr;
}

}  // namespace fsr

std::string ZYS_FileSystemRestore_PM_STRING(unsigned long code) {
    if (const fsr::TMessage* message = fsr::findMessage(code)) return message->name;
    char text[48];
    std::snprintf(text, sizeof(text), "UNKNOWN_MESSAGE(0x%08lx)", code);
    return text;
}
