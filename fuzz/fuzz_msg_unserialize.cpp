// Fuzzes the message decoder with arbitrary bytes: it must refuse or read, never crash, and whatever
// it reads must write back and read again to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzzscratch.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/msg/xml_codec.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<CNMessageBase> message;
    if (XMLDecoder().decode(reinterpret_cast<const char*>(data), size, message) != 0) return 0;
    std::string once;
    if (message->serialize(once) != 0) return 0;  // e.g. a text with a NUL read from a character reference
    std::unique_ptr<CNMessageBase> again;
    if (XMLDecoder().decode(once.data(), once.size(), again) != 0) abort();
    std::string twice;
    if (again->serialize(twice) != 0 || twice != once) abort();
    message->AsString();
    return 0;
}
