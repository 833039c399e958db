#include "platform/tasks/evreturndata.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

class ReturnChannel : public ::testing::Test {
protected:
    void SetUp() override {
        dest_ = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(kJob, dest_);
    }
    void TearDown() override { EvReturnDestinations::unregisterDestination(kJob); }
    static constexpr long long kJob = 4711;
    std::shared_ptr<EvRecordingDestination> dest_;
};

TEST_F(ReturnChannel, ConstructionZeroesAndStores) {
    EvRestoreReturn channel(kJob, 0x2000, false, nullptr, nullptr);
    EXPECT_EQ(channel.getKind(), 1004u);
    EXPECT_EQ(channel.getId(), kJob);
    EXPECT_EQ(channel.getOptions(), 0x2000);
    EXPECT_FALSE(channel.getFlag());
    EXPECT_EQ(channel.getPendingCount(), 0);
    EXPECT_EQ(channel.getBytesReturned(), 0);
    EXPECT_EQ(channel.getSocket(), nullptr);
    EXPECT_EQ(channel.getNetwork(), nullptr);
}

TEST_F(ReturnChannel, EndWithoutItemsSendsOnlyTheEnd) {
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    EXPECT_EQ(channel.end(0), 0);
    auto records = dest_->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, EV_RETURN_RECORD_END);
    EXPECT_EQ(records[0].code, 0);
    EXPECT_EQ(records[0].jobId, kJob);
    EXPECT_TRUE(channel.isEnded());
    EXPECT_EQ(channel.end(0), -1);  // once only
    EXPECT_EQ(dest_->records().size(), 1u);
}

TEST_F(ReturnChannel, EndWithFiveItemsFlushesThenCountsThenEnds) {
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    for (int i = 0; i < 5; ++i) {
        std::string item = "<item n=\"" + std::to_string(i) + "\"/>";
        EXPECT_EQ(channel.returnXMLItem(item), 0);
    }
    EXPECT_TRUE(dest_->records().empty());  // buffered until flushed
    EXPECT_EQ(channel.getPendingCount(), 5);
    EXPECT_EQ(channel.end(7), 0);
    auto records = dest_->records();
    ASSERT_EQ(records.size(), 7u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i].kind, EV_RETURN_RECORD_XML_ITEM);
        EXPECT_EQ(records[i].data, "<item n=\"" + std::to_string(i) + "\"/>");
    }
    EXPECT_EQ(records[5].kind, 2323u);
    ASSERT_EQ(records[5].data.size(), 4u);
    int32_t count = 0;
    memcpy(&count, records[5].data.data(), 4);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(records[6].kind, EV_RETURN_RECORD_END);
    EXPECT_EQ(records[6].code, 7);
    // Nothing is accepted after the end.
    std::string late = "late";
    EXPECT_EQ(channel.returnXMLItem(late), -1);
    EXPECT_TRUE(channel.hadFailure());
}

TEST_F(ReturnChannel, DumpBufferDeliversInOrderAndLargeBatchesFlushThemselves) {
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    std::string a = "a", b = "b";
    channel.returnXMLItem(a);
    channel.returnItem_9_0(b);
    EXPECT_EQ(channel.dumpBuffer(9), 0);
    auto records = dest_->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, EV_RETURN_RECORD_XML_ITEM);
    EXPECT_EQ(records[1].kind, EV_RETURN_RECORD_ITEM_9_0);
    for (int i = 0; i < 200; ++i) {
        std::string item = std::to_string(i);
        channel.returnXMLItem(item);
    }
    EXPECT_GE(dest_->records().size(), 2u + 192u);  // batches of 64 went out on their own
    channel.end(0);
    auto all = dest_->payloads(EV_RETURN_RECORD_XML_ITEM);
    ASSERT_EQ(all.size(), 201u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(all[i + 1], std::to_string(i));
    EXPECT_EQ(channel.getPendingCount(), 202);
}

TEST_F(ReturnChannel, RawSendCarriesBytes) {
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    const char bytes[] = {'x', '\0', 'y'};
    EXPECT_EQ(channel.send(99, bytes, 3), 0);
    EXPECT_EQ(channel.send(99, nullptr, 4), -1);
    EXPECT_EQ(channel.send(98, nullptr, 0), 0);
    channel.end(0);
    auto p = dest_->payloads(99);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0], std::string(bytes, 3));
    EXPECT_EQ(dest_->payloads(98).size(), 1u);
}

TEST_F(ReturnChannel, NoDestinationFailsTheSend) {
    EvRestoreReturn channel(999999, 0, true, nullptr, nullptr);
    std::string item = "x";
    EXPECT_EQ(channel.returnXMLItem(item), -1);
    EXPECT_EQ(channel.getPendingCount(), 0);
    EXPECT_EQ(channel.end(0), -1);
}

TEST_F(ReturnChannel, DestructorDeliversWhatWasQueued) {
    {
        EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
        std::string item = "kept";
        channel.returnXMLItem(item);
    }
    EXPECT_EQ(dest_->payloads(EV_RETURN_RECORD_XML_ITEM).size(), 1u);
    EXPECT_FALSE(dest_->ended());
}

TEST_F(ReturnChannel, ManyThreadsKeepEveryRecord) {
    EvRestoreReturn channel(kJob, 0, true, nullptr, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&channel, t] {
            for (int i = 0; i < 500; ++i) {
                std::string item = std::to_string(t) + ":" + std::to_string(i);
                channel.returnXMLItem(item);
            }
        });
    }
    for (auto& th : threads) th.join();
    channel.end(0);
    EXPECT_TRUE(dest_->waitForEnd(std::chrono::milliseconds(100)));
    auto items = dest_->payloads(EV_RETURN_RECORD_XML_ITEM);
    EXPECT_EQ(items.size(), 4000u);
    std::vector<int> next(8, 0);
    for (const auto& s : items) {
        int t = std::stoi(s.substr(0, s.find(':')));
        int i = std::stoi(s.substr(s.find(':') + 1));
        EXPECT_EQ(i, next[t]);
        next[t] = i + 1;
    }
}

TEST(ReturnLocale, TopSixteenBits) {
    EXPECT_EQ(EvReturnData::returnLocaleId(0x0409123456789ABCLL), 0x0409);
    EXPECT_EQ(EvReturnData::returnLocaleId(0x0409000000000000LL), 0x0409);
    EXPECT_EQ(EvReturnData::returnLocaleId(static_cast<long long>(0xFFFF000000000001ULL)), 0xFFFF);
    EXPECT_EQ(EvReturnData::returnLocaleId(0x0000FFFFFFFFFFFFLL), 0);
}

TEST(ReturnDestinations, RegistryReplacesAndRemoves) {
    auto a = std::make_shared<EvRecordingDestination>();
    auto b = std::make_shared<EvRecordingDestination>();
    EvReturnDestinations::registerDestination(1, a);
    EXPECT_EQ(EvReturnDestinations::find(1), a);
    EvReturnDestinations::registerDestination(1, b);
    EXPECT_EQ(EvReturnDestinations::find(1), b);
    EvReturnDestinations::unregisterDestination(1);
    EXPECT_EQ(EvReturnDestinations::find(1), nullptr);
}

}  // namespace
