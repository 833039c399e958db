// The cost of one log line at the level it is written: a service line through EvDebug (level filter,
// formatting, the line's head, the shared file's lock, one write(2)) against the raw library doing the
// same: snprintf of the same text and head, then one write(2) to a file opened for append; on one thread
// and on eight at once (where the lock and the file's own serialisation show). A line filtered out by its
// level is timed too, as information. The ratio of every pair is printed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/support/ratio.h"
#include "platform/log/evdebug.h"

namespace {

namespace fs = std::filesystem;

const fs::path& folder() {
    static const fs::path f = [] {
        fs::path p = fs::temp_directory_path() / ("bench-log-" + std::to_string(getpid()));
        fs::create_directories(p);
        return p;
    }();
    return f;
}

EvDebugFileInstance& instance() {
    static EvDebugFileInstance* i = [] {
        EvDebugFileInstance::setLogDirectory(folder().string());
        auto* made = new EvDebugFileInstance;
        made->setDebugLevelOverride(0);
        made->setMaxBytes(1LL << 40);  // no rotation inside a run
        EvDebug(made).initialize(1, 1LL << 40, true, "bench.log");
        return made;
    }();
    return *i;
}

const char* const kPath = "/d01/d01/d01/file-000123.txt";

void BM_LogLine(benchmark::State& state) {
    EvDebug log(&instance());
    log.setPrefixMessage("FBHMWORKER");
    for (auto _ : state) log.debugLvl(0, "browse path [%s] subclient [%d] page size [%lu]", kPath, 42, 100UL);
}

void BM_LogLineFiltered(benchmark::State& state) {
    EvDebug log(&instance());
    log.setPrefixMessage("FBHMWORKER");
    for (auto _ : state) log.debugLvl(8, "browse path [%s] subclient [%d] page size [%lu]", kPath, 42, 100UL);
}

void BM_RawLine(benchmark::State& state) {
    static const int fd =
        ::open((folder() / "raw.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    char line[512];
    for (auto _ : state) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        tm t;
        localtime_r(&ts.tv_sec, &t);
        const int n =
            std::snprintf(line, sizeof line,
                          "%04d-%02d-%02d %02d:%02d:%02d.%06ld %d %ld %s %d browse path [%s] subclient "
                          "[%d] page size [%lu]\n",
                          t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                          ts.tv_nsec / 1000, static_cast<int>(getpid()),
                          static_cast<long>(syscall(SYS_gettid)), "FBHMWORKER", 0, kPath, 42, 100UL);
        benchmark::DoNotOptimize(::write(fd, line, static_cast<size_t>(n)));
    }
}

BENCHMARK(BM_LogLine)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_RawLine)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogLineFiltered)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const int rc =
        hubbench::runWithRatios(argc, argv,
                                {{"BM_LogLine/real_time/threads:1", "BM_RawLine/real_time/threads:1",
                                  "log line / snprintf + write(2)", 1.5},
                                 {"BM_LogLine/real_time/threads:8", "BM_RawLine/real_time/threads:8",
                                  "log line / snprintf + write(2), 8 threads", 1.5},
                                 {"BM_LogLineFiltered/real_time", "BM_RawLine/real_time/threads:1",
                                  "filtered log line / snprintf + write(2)", 0}});
    std::error_code ec;
    fs::remove_all(folder(), ec);
    return rc;
}
