// The host program run for real on a demo world: it starts the service, "BrowseRouter" listens, and a
// SIGTERM stops it cleanly with no thread and no listener left; a missing database is a clear error.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/hubdemo/hubdemo.h"
#include "tests/support/process/processprobe.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
    pid_t pid = -1;
    int out = -1;
    std::string text;
};

TRun startHubmaster(const std::vector<std::string>& args) {
    const std::string program = std::string(std::getenv("HUB_BINARY_DIR")) + "/tools/hubmaster/hubmaster";
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    TRun run;
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    run.out = pipeFds[0];
    return run;
}

// Reads the program's output until `marker` appears, the output ends, or the time is up.
bool readUntil(TRun& run, const std::string& marker, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (run.text.find(marker) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{run.out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[1024];
        const ssize_t n = read(run.out, buffer, sizeof buffer);
        if (n <= 0) return run.text.find(marker) != std::string::npos;
        run.text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int finish(TRun& run) {
    readUntil(run, "\x01never", std::chrono::seconds(30));
    close(run.out);
    int status = 0;
    waitpid(run.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HubmasterProcess : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("hubmaster-e2e-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

}  // namespace

TEST_F(HubmasterProcess, ServesTheDemoWorldAndStopsCleanlyOnSigterm) {
    hubdemo::DemoWorld world;
    std::string error;
    ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.string(), world, &error)) << error;

    TRun run = startHubmaster({"--data", m_dir.string(), "--port", "0"});
    const std::string marker = "BrowseRouter listening on 127.0.0.1:";
    ASSERT_TRUE(readUntil(run, marker, std::chrono::seconds(30))) << run.text;
    ASSERT_TRUE(readUntil(run, "\n", std::chrono::seconds(5)));
    const size_t at = run.text.find(marker) + marker.size();
    const int port = std::atoi(run.text.c_str() + at);
    ASSERT_GT(port, 0) << run.text;
    EXPECT_TRUE(hubtest::canConnect(port));
    EXPECT_NE(run.text.find("hubmaster: log " + m_dir.string()), std::string::npos) << run.text;

    kill(run.pid, SIGTERM);
    EXPECT_EQ(finish(run), 0) << run.text;
    EXPECT_NE(run.text.find("stopped (clean-up 1); 1 thread(s) left; listener closed"), std::string::npos)
        << run.text;
    EXPECT_FALSE(hubtest::canConnect(port));
}

TEST_F(HubmasterProcess, MissingDatabaseIsAClearError) {
    fs::create_directories(m_dir);
    TRun run = startHubmaster({"--data", m_dir.string()});
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(run.text.find("no Hubmaster database at"), std::string::npos) << run.text;
}

TEST_F(HubmasterProcess, MissingLibraryIsAClearError) {
    hubdemo::DemoWorld world;
    ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.string(), world));
    TRun run = startHubmaster({"--data", m_dir.string(), "--lib", (m_dir / "missing.so").string()});
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(run.text.find("cannot load the browse service"), std::string::npos) << run.text;
}
