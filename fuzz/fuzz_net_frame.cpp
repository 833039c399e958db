// libFuzzer target: a byte stream cut into session frames (in chunks whose size the input's first
// byte chooses), each frame's payload decoded as the session would: openings (hello, welcome,
// refusal, launch) and XDR records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/net/zynet_frame.h"
#include "platform/restoreproto/fsr_codec.h"

namespace {

// Reads every text of a decoded record, as the listener does, so that a missing NUL or a bad
// pointer shows up under the sanitizers.
size_t textLength(const char* text) {
    return text ? std::strlen(text) : 0;
}

void decodePayload(const zynet::TFrame& frame) {
    fsr::CArena arena;
    if (frame.kind == zynet::FrameKind::Control) {
        TZynHello hello;
        TZynWelcome welcome;
        TZynRefusal refusal;
        TZynLaunch launch;
        fsr::decodeRecord(fsr::LayoutOf<TZynHello>::layout, frame.payload, frame.length, arena, &hello);
        fsr::decodeRecord(fsr::LayoutOf<TZynWelcome>::layout, frame.payload, frame.length, arena, &welcome);
        fsr::decodeRecord(fsr::LayoutOf<TZynRefusal>::layout, frame.payload, frame.length, arena, &refusal);
        if (fsr::decodeRecord(fsr::LayoutOf<TZynLaunch>::layout, frame.payload, frame.length, arena,
                              &launch) == fsr::Status::Ok) {
            volatile size_t total = textLength(launch.launcher) + textLength(launch.alternate) +
                                    textLength(launch.clientName) + textLength(launch.hostName);
            (void)total;
        }
    } else if (frame.kind == zynet::FrameKind::Xdr) {
        if (const fsr::TMessage* message = fsr::findMessage(frame.code)) {
            void* record = nullptr;
            size_t size = 0;
            fsr::decode(*message, frame.payload, frame.length, arena, record, size);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = 1 + data[0] % 64;
    ++data;
    --size;
    zynet::CFrameAssembler assembler(1 << 20);
    for (size_t at = 0; at < size; at += chunk) {
        assembler.append(data + at, size - at < chunk ? size - at : chunk);
        zynet::TFrame frame;
        zynet::FrameStatus status;
        while ((status = assembler.next(frame)) == zynet::FrameStatus::Frame) decodePayload(frame);
        if (status != zynet::FrameStatus::NeedMore) return 0;  // the session closes here
    }
    return 0;
}
