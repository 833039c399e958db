// Test support: fills any described restore-protocol record with values that differ per field and
// per seed, and compares two records field by field (texts by content), so that one loop can round-
// trip every record and message code. Plain functions; each test uses its own records.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/restoreproto/fsr_messages.h"

namespace hubtest {

// Keeps the texts that filled records point to.
using TTextStore = std::deque<std::string>;

void fillRecord(const fsr::TLayout& layout, void* record, uint64_t seed, TTextStore& texts);
// "" when equal, else the first difference.
std::string compareRecords(const fsr::TLayout& layout, const void* expected, const void* actual);

// A message's record (or, for an array code, `count` items and their envelope) filled by seed.
// Records point into its own storage: it may be moved, never copied.
struct TFilledMessage {
    TFilledMessage() = default;
    TFilledMessage(TFilledMessage&&) = default;
    TFilledMessage& operator=(TFilledMessage&&) = default;
    TFilledMessage(const TFilledMessage&) = delete;
    TFilledMessage& operator=(const TFilledMessage&) = delete;

    std::vector<uint8_t> record;  // the record or the array envelope
    std::vector<uint8_t> items;   // array items
    TTextStore texts;
};
void fillMessage(const fsr::TMessage& message, uint32_t count, uint64_t seed, TFilledMessage& out);
// Compares a received record (as handed by a decode) with what fillMessage made.
std::string compareMessage(const fsr::TMessage& message, const TFilledMessage& expected,
                           const void* received);

// Every message code of the table, in table order.
std::vector<uint32_t> allMessageCodes();

}  // namespace hubtest
