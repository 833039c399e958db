// Fast-browse throughput: item batches of the current layout as they come off the wire (1,000 items a
// frame, every seventh with metadata) through decode, the worker's conversion and the return channel,
// against decoding the same frames alone. Items per second are reported per thread.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/support/ratio.h"
#include "platform/restoreproto/fsr_codec.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr long long kJob = 4242;
constexpr uint32_t kItems = 1000;

// The caller's end of the return channel: takes every answer and keeps none.
class CDiscard : public EvReturnDestination {
public:
    void deliver(const EvReturnRecord&) override {}
};

class CBenchWorker : public CWorkerThreadHM {
public:
    CBenchWorker() { m_privateTask->setJobId(kJob); }
};

// One array frame of the current layout, encoded as the network library sends it.
const std::vector<uint8_t>& frame() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<std::string> names(kItems);
        std::vector<FSRRestoreItem_90> items(kItems);
        const std::string metadata =
            "<IdxMetaData x.tag=\"65f4850c\"><at8_8 x.item=\"65fb7c8d\" ownerName=\"owner\"/></IdxMetaData>";
        for (uint32_t k = 0; k < kItems; ++k) {
            names[k] = "/data/projects/dir" + std::to_string(k / 100) + "/file" + std::to_string(k) + ".dat";
            FSRRestoreItem_90& i = items[k];
            i.flags = k % 10 == 0 ? 0x1 : 0;
            i.name = names[k].c_str();
            i.displayName = names[k].c_str() + names[k].rfind('/') + 1;
            i.modificationTime = 1700000000 + k;
            i.backupTime = 1700100000;
            i.size = 4096 + k;
            i.version = 1;
            i.appId = 12;
            i.archiveId.archiveFileId = 77;
            i.archiveOffset = k * 4096ULL;
            i.metadata = k % 7 == 0 ? metadata.c_str() : nullptr;
        }
        FSRItemArray array;
        array.count = kItems;
        array.items = items.data();
        std::vector<uint8_t> out;
        fsr::encode(*fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90), &array, sizeof array, out);
        return out;
    }();
    return bytes;
}

void BM_DecodeAlone(benchmark::State& state) {
    const fsr::TMessage& m = *fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    const std::vector<uint8_t>& bytes = frame();
    fsr::CArena arena;
    for (auto _ : state) {
        arena.reset();
        void* record = nullptr;
        size_t size = 0;
        if (fsr::decode(m, bytes.data(), bytes.size(), arena, record, size) != fsr::Status::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_DecodeConvertReturn(benchmark::State& state) {
    EvReturnDestinations::registerDestination(kJob, std::make_shared<CDiscard>());
    CBenchWorker worker;
    const fsr::TMessage& m = *fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    const std::vector<uint8_t>& bytes = frame();
    fsr::CArena arena;
    CWorkerAccess access(worker);  // the fast browse runs under the worker's lock
    for (auto _ : state) {
        arena.reset();
        void* record = nullptr;
        size_t size = 0;
        if (fsr::decode(m, bytes.data(), bytes.size(), arena, record, size) != fsr::Status::Ok)
            state.SkipWithError("decode failed");
        bool done = false;
        if (!worker.processMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90, static_cast<unsigned char*>(record), done))
            state.SkipWithError("conversion failed");
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    EvReturnDestinations::unregisterDestination(kJob);
}

BENCHMARK(BM_DecodeAlone);
BENCHMARK(BM_DecodeConvertReturn);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    hubbench::RatioReporter reporter({{"BM_DecodeConvertReturn", "BM_DecodeAlone",
                                       "fast browse: decode + conversion + channel / decode", 0}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
