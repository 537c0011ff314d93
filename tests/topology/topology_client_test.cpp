#include "topology/topology_client.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>
#include <vector>

#include "common/json_filter.hpp"
#include "config/config.hpp"
#include "support/fake_topology.hpp"
#include "support/test_support.hpp"
#include "topology/topology_arbiter_basic.hpp"

namespace {

using nlohmann::json;
using testsupport::FakeTopology;
using testsupport::wait_for;
using namespace std::chrono_literals;

class TopologyClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The level as the process had it: a document without one would set 4 for every later test.
        ASSERT_TRUE(config.load(dir.write("c.json", R"({"type": "ZEB", "mav_root": "MAV",
            "log": {"level": "info"}})")));
        filter.add_next(json::parse(FakeTopology::kFilter), "");
        fake.set_document(FakeTopology::envelope(
            {FakeTopology::component("MAV.A"), FakeTopology::component("mav.b", "REPAIR")}));
        for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
    }

    void TearDown() override {
        client.reset();
        work.reset();
        io.stop();
        for (auto& t : threads) t.join();
    }

    TopologyClient& make(uint16_t period, const std::string& url = {},
                         TopologyArbiter* arbiter = nullptr) {
        client = std::make_unique<TopologyClient>(config, filter,
                                                  framework::Url(url.empty() ? fake.url() : url),
                                                  period, io, arbiter);
        return *client;
    }

    uint64_t success() const { return client->get_stats()->success.load(); }
    uint64_t failed() const { return client->get_stats()->failed.load(); }

    testsupport::TempDir dir;
    Config config;
    json_tools::filter::Node filter;
    FakeTopology fake;
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::vector<std::thread> threads;
    std::unique_ptr<TopologyClient> client;
};

TEST_F(TopologyClientTest, PostsThePlatformRootAndKeepsTheAnswerAsSnapshot) {
    auto& c = make(0);
    EXPECT_EQ(c.get(), nullptr);
    c.update();
    ASSERT_TRUE(wait_for([&] { return success() == 1; }));
    EXPECT_EQ(failed(), 0u);

    const auto polls = fake.get_polls();
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(polls[0].method, "POST");
    EXPECT_EQ(polls[0].target, "/leaf-components");
    EXPECT_EQ(polls[0].body, R"({"nodePath":"mav"})");  // the root as the configuration keeps it
    EXPECT_NE(polls[0].header.find("HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(polls[0].header.find("\r\nContent-Type: application/json"), std::string::npos);

    const auto snapshot = c.get();
    ASSERT_NE(snapshot, nullptr);
    ASSERT_NE(snapshot->get_by_path("mav.a"), nullptr);
    EXPECT_EQ(snapshot->get_by_path("mav.b")->mode, Contour::REPAIR);
}

TEST_F(TopologyClientTest, BadAnswersCountAsFailedAndKeepTheLastSnapshot) {
    auto& c = make(0);
    c.update();
    ASSERT_TRUE(wait_for([&] { return success() == 1; }));
    const auto first = c.get();
    ASSERT_NE(first, nullptr);

    struct Case {
        const char* name;
        int status;
        std::string body;
        bool failing;
    };
    const std::string good = FakeTopology::envelope({FakeTopology::component("mav.z")}).dump();
    const Case cases[] = {
        {"NotFound", 404, good, false},
        {"EmptyBody", 200, "", false},
        {"NotJson", 200, "{\"success\":", false},
        {"Unsuccessful", 200, R"({"success":false,"body":{"components":[]}})", false},
        {"NothingFound", 200, R"({"success":true,"body":{"components":[{"className":"X"}]}})", false},
        {"ServiceFailing", 200, good, true},
    };
    uint64_t expected_failed = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fake.set_answer(k.status, k.body);
        fake.set_failing(k.failing);
        c.update();  // period 0: every poll is the owner's
        ++expected_failed;
        ASSERT_TRUE(wait_for([&] { return failed() == expected_failed; }));
        EXPECT_EQ(success(), 1u);
        EXPECT_EQ(c.get(), first);
    }

    // A good answer after all that replaces the snapshot.
    fake.set_failing(false);
    fake.set_answer(200, good);
    c.update();
    ASSERT_TRUE(wait_for([&] { return success() == 2; }));
    ASSERT_NE(c.get(), first);
    EXPECT_NE(c.get()->get_by_path("mav.z"), nullptr);
    EXPECT_EQ(fake.polls(), std::size(cases) + 2);
}

TEST_F(TopologyClientTest, UnreachableSourceCountsAsFailed) {
    auto& c = make(0, "http://127.0.0.1:" + std::to_string(testsupport::free_port()) + "/x");
    c.update();
    ASSERT_TRUE(wait_for([&] { return failed() == 1; }));
    EXPECT_EQ(success(), 0u);
    EXPECT_EQ(c.get(), nullptr);
}

TEST_F(TopologyClientTest, RefusedUrlSendsNothingAndCountsNothing) {
    auto& c = make(1, "tcp://127.0.0.1:" + std::to_string(fake.port()) + "/x");
    c.update();
    c.update();
    EXPECT_EQ(success(), 0u);
    EXPECT_EQ(failed(), 0u);
    EXPECT_EQ(fake.polls(), 0u);
}

// Real time: three polls one second apart, each answer held 300 ms.
TEST_F(TopologyClientTest, OneRequestInFlightAndTheNextOnePeriodAfterEachAnswer) {
    fake.set_delay(300ms);
    auto& c = make(1);
    c.update();
    ASSERT_TRUE(fake.wait_polls(1));
    // The owner asking again while the poll is on its way changes nothing.
    c.update();
    c.update();
    ASSERT_TRUE(fake.wait_polls(3, 10s));
    ASSERT_TRUE(fake.wait_answered(2));
    const auto polls = fake.get_polls();
    for (size_t i = 0; i + 1 < 3; ++i) {
        const auto gap = polls[i + 1].received - polls[i].answered;
        EXPECT_GE(gap, 900ms) << i;
        EXPECT_LT(gap, 1900ms) << i;
    }
    EXPECT_EQ(fake.max_open(), 1u);
    EXPECT_GE(success(), 2u);
    EXPECT_EQ(failed(), 0u);
}

// Real time: two seconds of silence after each stop.
TEST_F(TopologyClientTest, NothingIsSentAfterStop) {
    // Stopped while its answer is on its way.
    fake.set_delay(500ms);
    auto& busy = make(1);
    busy.update();
    ASSERT_TRUE(fake.wait_polls(1));
    busy.stop();
    ASSERT_TRUE(wait_for([&] { return failed() == 1; }));  // the abandoned answer
    busy.update();

    // Stopped while it waits for its next poll.
    FakeTopology other;
    other.set_document(FakeTopology::envelope({FakeTopology::component("mav.a")}));
    TopologyClient waiting(config, filter, framework::Url(other.url()), 1, io, nullptr);
    waiting.update();
    ASSERT_TRUE(wait_for([&] { return waiting.get_stats()->success.load() == 1; }));
    waiting.stop();
    waiting.update();

    EXPECT_FALSE(wait_for([&] { return fake.polls() > 1 || other.polls() > 1; }, 2000ms));
    EXPECT_EQ(busy.get(), nullptr);
    EXPECT_NE(waiting.get(), nullptr);
}

TEST_F(TopologyClientTest, DestroyedWithARequestInFlight) {
    fake.set_delay(200ms);
    make(1).update();
    ASSERT_TRUE(fake.wait_polls(1));
    client.reset();
    EXPECT_TRUE(fake.wait_answered(1));
}

// Real time: the timer of a client that is gone comes due and must find nothing to poll.
TEST_F(TopologyClientTest, DestroyedWhileItsNextPollIsScheduled) {
    make(1).update();
    ASSERT_TRUE(wait_for([&] { return success() == 1; }));
    client.reset();
    EXPECT_FALSE(wait_for([&] { return fake.polls() > 1; }, 1500ms));
}

TEST_F(TopologyClientTest, WithAnArbiterTheContoursGoToTheArbiter) {
    TopologyArbiterBasic arbiter("mav", 60, nullptr);
    arbiter.add_client(fake.url());
    auto& c = make(0, {}, &arbiter);
    c.update();
    ASSERT_TRUE(wait_for([&] { return success() == 1; }));
    EXPECT_EQ(c.get(), nullptr);
    const auto merged = arbiter.get();
    EXPECT_NE(merged->get_by_path("mav.a"), nullptr);
    EXPECT_NE(merged->get_by_path("mav.b"), nullptr);
    client.reset();  // before the arbiter it feeds
}

}  // namespace
