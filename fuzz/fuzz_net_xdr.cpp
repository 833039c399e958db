// libFuzzer target: the restore-protocol XDR decoder. The first input byte picks a message code of
// the table, the rest is its payload. A record that decodes must encode again and decode to the
// same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/restoreproto/fsr_codec.h"

namespace {

constexpr uint32_t kCodes[] = {
#define FUZZ_CODE(code, name, shape, record) code,
    FSR_MESSAGES(FUZZ_CODE)
#undef FUZZ_CODE
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const fsr::TMessage& message = *fsr::findMessage(kCodes[data[0] % (sizeof(kCodes) / sizeof(kCodes[0]))]);
    fsr::CArena arena;
    void* record = nullptr;
    size_t recordSize = 0;
    if (fsr::decode(message, data + 1, size - 1, arena, record, recordSize) != fsr::Status::Ok) return 0;

    std::vector<uint8_t> again;
    if (fsr::encode(message, record, recordSize, again) != fsr::Status::Ok) abort();
    fsr::CArena second;
    void* copy = nullptr;
    size_t copySize = 0;
    if (fsr::decode(message, again.data(), again.size(), second, copy, copySize) != fsr::Status::Ok) abort();
    std::vector<uint8_t> third;
    if (fsr::encode(message, copy, copySize, third) != fsr::Status::Ok || third != again) abort();
    return 0;
}
