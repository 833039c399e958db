// The network layer against the raw libraries under it, in the same run, each pair doing the same
// work; the ratio of every pair is printed at the end:
//  - an XDR array of 10,000 FSRRestoreItem_90 decoded by the restore codec, and by libtirpc's
//    xdr_array over hand-written item routines, from the same bytes, each taking its memory afresh
//    and giving it back every pass;
//  - a request/reply round trip through a session and a server callback, and a raw TCP ping-pong
//    of the same size on loopback.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rpc/xdr.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/support/ratio.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_server.h"
#include "platform/restoreproto/fsr_codec.h"

namespace {

constexpr uint32_t kItems = 10000;

// ---- decoding an item array ----------------------------------------------------------------------

struct TItemBytes {
    std::vector<std::string> texts;
    std::vector<uint8_t> wire;
    TItemBytes() {
        std::vector<FSRRestoreItem_90> items(kItems);
        texts.reserve(kItems * 2);
        for (uint32_t i = 0; i < kItems; ++i) {
            texts.push_back("/data/projects/dir" + std::to_string(i % 97) + "/file" + std::to_string(i) +
                            ".dat");
            texts.push_back("file" + std::to_string(i) + ".dat");
            FSRRestoreItem_90& item = items[i];
            item.flags = i % 7 == 0 ? 0x1 : 0x0;
            item.name = texts[texts.size() - 2].c_str();
            item.displayName = texts.back().c_str();
            item.modificationTime = 1700000000 + i;
            item.size = 4096ull * i;
            item.archiveId.archiveFileId = 5000 + i % 11;
            item.archiveOffset = 65536ull * i;
        }
        FSRItemArray array;
        array.count = kItems;
        array.items = items.data();
        fsr::encode(*fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90), &array, sizeof(array), wire);
    }
};

const TItemBytes& itemBytes() {
    static const TItemBytes bytes;
    return bytes;
}

void BM_ItemArrayThroughCodec(benchmark::State& state) {
    const TItemBytes& bytes = itemBytes();
    const fsr::TMessage& message = *fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    for (auto _ : state) {
        // A fresh arena, freed at the end of the pass, as xdr_array allocates and xdr_free frees.
        fsr::CArena arena;
        void* record = nullptr;
        size_t size = 0;
        if (fsr::decode(message, bytes.wire.data(), bytes.wire.size(), arena, record, size) !=
            fsr::Status::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ItemArrayThroughCodec)->Unit(benchmark::kMicrosecond);

// The same item as libtirpc's own routines see it: texts as char* that xdr_string allocates.
struct TRawItem {
    u_int64_t flags;
    char* name;
    u_int64_t modificationTime, size, version, error, advancedValue, backupTime, advancedValue2;
    char* displayName;
    u_int64_t appId;
    char* advancedText;
    u_int64_t archiveId[3];
    u_int64_t archiveOffset;
    u_int32_t reserved128;
    u_int32_t padding;
    u_int64_t reserved136;
    char* metadata;
    u_int64_t reserved152[2];
};
static_assert(sizeof(TRawItem) == sizeof(FSRRestoreItem_90));

bool_t xdrRawItem(XDR* x, TRawItem* item) {
    return xdr_u_int64_t(x, &item->flags) && xdr_string(x, &item->name, FSR_NAME_CAP) &&
           xdr_u_int64_t(x, &item->modificationTime) && xdr_u_int64_t(x, &item->size) &&
           xdr_u_int64_t(x, &item->version) && xdr_u_int64_t(x, &item->error) &&
           xdr_u_int64_t(x, &item->advancedValue) && xdr_u_int64_t(x, &item->backupTime) &&
           xdr_u_int64_t(x, &item->advancedValue2) && xdr_string(x, &item->displayName, FSR_NAME_CAP) &&
           xdr_u_int64_t(x, &item->appId) && xdr_string(x, &item->advancedText, FSR_TEXT_CAP) &&
           xdr_u_int64_t(x, &item->archiveId[0]) && xdr_u_int64_t(x, &item->archiveId[1]) &&
           xdr_u_int64_t(x, &item->archiveId[2]) && xdr_u_int64_t(x, &item->archiveOffset) &&
           xdr_u_int32_t(x, &item->reserved128) && xdr_u_int64_t(x, &item->reserved136) &&
           xdr_string(x, &item->metadata, FSR_METADATA_CAP) && xdr_u_int64_t(x, &item->reserved152[0]) &&
           xdr_u_int64_t(x, &item->reserved152[1]);
}

struct TRawArray {
    TRawItem* items;
    u_int count;
};

bool_t xdrRawArray(XDR* x, TRawArray* array) {
    return xdr_array(x, reinterpret_cast<char**>(&array->items), &array->count, 4000000, sizeof(TRawItem),
                     reinterpret_cast<xdrproc_t>(xdrRawItem));
}

void BM_ItemArrayThroughRawXdrArray(benchmark::State& state) {
    const TItemBytes& bytes = itemBytes();
    for (auto _ : state) {
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.wire.data())),
                      static_cast<u_int>(bytes.wire.size()), XDR_DECODE);
        TRawArray array{nullptr, 0};
        if (!xdrRawArray(&x, &array)) state.SkipWithError("xdr_array failed");
        benchmark::DoNotOptimize(array.items);
        xdr_free(reinterpret_cast<xdrproc_t>(xdrRawArray), reinterpret_cast<char*>(&array));
        xdr_destroy(&x);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ItemArrayThroughRawXdrArray)->Unit(benchmark::kMicrosecond);

// ---- request and reply -----------------------------------------------------------------------------

void echoCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                  unsigned long code, zysDatabuf_v2* data) {
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    ignoreResult(session->SendXDRMessage(code, data, 0, 10, timedOut),
                 "a benchmark client gone has nobody to echo to");
}

void BM_RoundTripThroughSession(benchmark::State& state) {
    auto listener = CZydListener::create();
    if (listener->start(0).IsError()) {
        state.SkipWithError("no listener");
        return;
    }
    CZyNetworkServer server(echoCallback, nullptr, "Echo", listener);
    CZyNetwork session;
    bool timedOut = false;
    if (session.Connect(TZyNetAddress{"127.0.0.1", listener->port()}, "Echo", "bench", 10, timedOut)
            .IsError())
        state.SkipWithError("connect failed");
    FSROriginatedUserId user;
    zysDatabuf_v2 out, in;
    out.setExternalBuffer(&user, sizeof(user));
    for (auto _ : state) {
        ++user.userId;
        unsigned long code = 0;
        if (session.SendXDRMessage(FSR_MSG_ORIGINATED_USER_ID, &out, 0, 10, timedOut).IsError() ||
            session.ReceiveXDRMessage(&code, &in, nullptr, 0, 10, timedOut).IsError() || timedOut)
            state.SkipWithError("round trip failed");
        ignoreResult(session.FreeReceivedMessage(code, &in), "it only gives the buffer back");
    }
    ignoreResult(server.Quit(true, true), "stopping: nothing is left to do when it fails");
    listener->stop();
}
BENCHMARK(BM_RoundTripThroughSession)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Apply(hubbench::repeatedWithSpread);

// The same exchange as bytes: a 16-byte header and an 8-byte record each way.
void BM_RoundTripRawSocket(benchmark::State& state) {
    const int listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listening, 1);
    getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
    const int one = 1;
    std::thread echo([listening, one] {
        const int fd = accept(listening, nullptr, nullptr);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        char buffer[24];
        for (;;) {
            size_t got = 0;
            while (got < sizeof(buffer)) {
                const ssize_t n = recv(fd, buffer + got, sizeof(buffer) - got, 0);
                if (n <= 0) {
                    close(fd);
                    return;
                }
                got += static_cast<size_t>(n);
            }
            send(fd, buffer, sizeof(buffer), MSG_NOSIGNAL);
        }
    });
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char buffer[24] = {};
    for (auto _ : state) {
        send(fd, buffer, sizeof(buffer), MSG_NOSIGNAL);
        size_t got = 0;
        while (got < sizeof(buffer)) {
            const ssize_t n = recv(fd, buffer + got, sizeof(buffer) - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
    echo.join();
    close(listening);
}
BENCHMARK(BM_RoundTripRawSocket)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Apply(hubbench::repeatedWithSpread);

}  // namespace

int main(int argc, char** argv) {
    return hubbench::runWithRatios(
        argc, argv,
        {{"BM_ItemArrayThroughCodec", "BM_ItemArrayThroughRawXdrArray", "restore codec / raw xdr_array", 1.5},
         {"BM_RoundTripThroughSession/real_time", "BM_RoundTripRawSocket/real_time",
          "session round trip / raw socket ping-pong", 1.5}});
}
