// Message codes of the classic restore protocol and of the network framework, each with the record
// it carries, and their names for log lines. Constant tables: any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/restoreproto/fsr_messages.def"
#include "platform/restoreproto/fsr_records.h"

#define FSR_CODE_CONSTANT(code, name, shape, record) constexpr unsigned long name = code;
FSR_MESSAGES(FSR_CODE_CONSTANT)
#undef FSR_CODE_CONSTANT

namespace fsr {

enum class Shape : uint8_t { Empty, Single, Array };

struct TMessage {
    uint32_t code;
    const char* name;
    Shape shape;
    const TLayout* layout;  // of the record, or of one array element; null for Empty
};

// The message of a code, or null for a code outside the table.
const TMessage* findMessage(unsigned long code);

}  // namespace fsr

// The name of a message code for log lines; codes outside the table read "UNKNOWN_MESSAGE(0x...)".
std::string ZYS_FileSystemRestore_PM_STRING(unsigned long code);
