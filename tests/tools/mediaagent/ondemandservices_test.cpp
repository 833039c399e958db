// The media agent's on-demand mining services on a real listener: an instance stopped while one of its
// serving threads is still answering is destroyed only after that thread has ended. The journal is a
// named pipe, so the serving thread waits inside its request (at its first journal line) until the test
// reads it, and the stop comes meanwhile.
#include "tools/mediaagent/ondemandservices.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zyondemand_client.h"
#include "tests/platform/db/tempdir.h"

namespace {

constexpr const char* kMachine = "mining-machine";
constexpr int kMachineId = 77;
constexpr int kLimitMs = 60000;

// What writers put into the pipe `fifo` until the next one closes it (opening waits for a writer).
std::string readPipe(const std::string& fifo) {
    std::ifstream in(fifo);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits (bounded) until a thread of this process is blocked opening a file: the serving thread at the
// journal pipe, which only the test's reader lets through. Nothing notifies of that, so /proc is looked
// at until it shows.
bool aThreadWaitsToOpen(const std::string& path) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (std::chrono::steady_clock::now() < limit) {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream in(task.path() / "syscall");
            long number = -1;
            std::string directory, name;
            // The path argument is an address in this process: the options' own text, which stays.
            if (in >> number >> directory >> name && number == SYS_openat &&
                std::strcmp(reinterpret_cast<const char*>(std::stoull(name, nullptr, 16)), path.c_str()) == 0)
                return true;
        }
        std::this_thread::yield();
    }
    return false;
}

TEST(OnDemandServices, AnInstanceStoppedMidRequestOutlivesItsServingThread) {
    TempDir dir;
    const std::string journal = dir.file("journal");
    ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0);
    const TZyNetOptions saved = zyNetOptions();
    TZyNetOptions options = saved;
    options.localClientName = kMachine;
    setZyNetOptions(options);
    auto listener = CZydListener::create();
    ASSERT_FALSE(listener->start(0).IsError());
    CZyNetDirectory::instance().registerClient(kMachine, "127.0.0.1", listener->port(), kMachineId);
    mediaagent::TOnDemandOptions serviceOptions;
    serviceOptions.journalPath = journal;
    serviceOptions.peers.acceptPlain = true;
    auto services = std::make_unique<mediaagent::COnDemandServices>(listener, serviceOptions);

    CNSession::LaunchOnDemandServiceReq launch;
    launch.setstring(CNSession::LaunchOnDemandServiceReq::f::hostName, kMachine);
    launch.setstring(CNSession::LaunchOnDemandServiceReq::f::serviceName,
                     mediaagent::COnDemandServices::kMiningService);
    launch.setint64(CNSession::LaunchOnDemandServiceReq::f::mode, 1);
    CNSession::LaunchOnDemandServiceDetails details;
    ZYOnDemandSvcClient client;
    CZyNetwork session;
    ASSERT_FALSE(client.SubmitTask(launch, details).IsError());
    ASSERT_FALSE(client.Attach(details, session).IsError());
    // A request naming no Hubmaster is answered on its own connection, by the serving thread.
    databrowse::BrowseRequest request;
    request.getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, "stopped-mid-request");
    request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::appMiningBlock, true)
        ->setint64(databrowse::Msg60::f::appMining, 1);
    bool timedOut = false;
    ASSERT_FALSE(session.SendXMLMessage(request, 0, 10, timedOut).IsError());

    // The serving thread waits at its journal; the listener's stop ends the instance meanwhile, and
    // its session closes.
    ASSERT_TRUE(aThreadWaitsToOpen(journal)) << "the request was not taken up";
    std::thread stopping([&] { listener->stop(); });
    CNMessageBase* message = nullptr;
    const CUxError closed =
        session.ReceiveXMLMessage(nullptr, message, nullptr, 0, kLimitMs / 1000, timedOut);
    std::unique_ptr<CNMessageBase> owned(message);
    EXPECT_TRUE(closed.IsError() && !timedOut) << "the instance's session did not close";

    // The thread goes on, and ends its request with the instance's own name: nothing of it was gone; its
    // caller's connection was, which the line says. (The second line may come while the first is still
    // being read.)
    std::string lines = readPipe(journal);
    if (lines.find('\n') == lines.rfind('\n')) lines += readPipe(journal);
    EXPECT_EQ(lines.rfind("LiveBrowseServer session=stopped-mid-request", 0), 0u) << lines;
    EXPECT_NE(lines.find("\nLiveBrowseServer answer to the caller cut short"), std::string::npos) << lines;
    EXPECT_NE(lines.find("the end could not be sent"), std::string::npos) << lines;
    stopping.join();
    EXPECT_EQ(listener->launchedInstances(), 0u);
    services.reset();
    CZyNetDirectory::instance().unregisterClient(kMachine);
    setZyNetOptions(saved);
}

}  // namespace
