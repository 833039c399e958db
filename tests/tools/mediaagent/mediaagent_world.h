// Test support for the media agent: the demo world in a temporary folder (removed with the object), the
// plan of its classic media agent, and an item index built from it at a test scale. One thread.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/hubdemo/hubdemo.h"
#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/itemindexbuilder.h"

namespace hubtest {

class CMediaAgentWorld {
public:
    explicit CMediaAgentWorld(const std::string& label) {
        m_folder = std::filesystem::temp_directory_path() / (label + "-" + std::to_string(getpid()));
        std::filesystem::remove_all(m_folder);
        std::filesystem::create_directories(m_folder);
        m_ok = hubdemo::seedDemoDatabase(hubDb(), world, &m_error) == 0 &&
               mediaagent::loadAgentPlan(hubDb(), "mediaagent3", plan, m_error);
    }
    ~CMediaAgentWorld() { std::filesystem::remove_all(m_folder); }
    CMediaAgentWorld(const CMediaAgentWorld&) = delete;
    CMediaAgentWorld& operator=(const CMediaAgentWorld&) = delete;

    // A scale that exercises every path of the index in a second: several tree levels, a directory
    // larger than a page mark stride, deletions, files born late and metadata.
    static mediaagent::TIndexScale testScale() {
        mediaagent::TIndexScale s;
        s.files = 3000;
        s.filesPerDirectory = 40;
        s.fanout = 3;
        s.bigDirectoryFiles = 700;
        s.changePercent = 30;
        s.deletePercent = 10;
        s.newPercent = 10;
        s.metadataEvery = 7;
        return s;
    }

    bool build(const std::string& name, const mediaagent::TIndexScale& scale) {
        return mediaagent::buildItemIndex(path(name), plan, scale, m_error);
    }

    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    std::string hubDb() const { return (m_folder / "hub.db").string(); }
    std::string path(const std::string& name) const { return (m_folder / name).string(); }
    std::string folder() const { return m_folder.string(); }

    hubdemo::DemoWorld world;
    mediaagent::TAgentPlan plan;

private:
    std::filesystem::path m_folder;
    std::string m_error;
    bool m_ok = false;
};

}  // namespace hubtest
