#include "analytics/Tally.h"

#include "InstanceFixture.h"
#include "analytics/TallyManager.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tally;
using analyticstest::InstanceFixture;
using analyticstest::LogCapture;

namespace {

/// The registry is process-wide: each test uses names of its own and removes them at the end.
class TallyTest : public InstanceFixture {
protected:
    std::vector<std::string> names;

    std::shared_ptr<TallyInstance> initialize(const std::string& token, std::optional<std::string> name = std::nullopt,
                                              double flushInterval = 0)
    {
        names.push_back(name.value_or(token));
        return Tally::initialize(token, flushInterval, name, false, false, std::nullopt, "http://127.0.0.1:1");
    }

    void TearDown() override
    {
        for (const auto& name : names) {
            Tally::removeInstance(name);
        }
        InstanceFixture::TearDown();
    }
};

} // namespace

TEST_F(TallyTest, ASecondInitializeOfANameReturnsTheFirstInstanceUnchanged)
{
    const auto first = initialize("tok-a", std::nullopt, 30);
    const auto second = initialize("tok-a", std::nullopt, 90);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->flushInterval(), 30);
    EXPECT_EQ(Tally::mainInstance(), first);
    EXPECT_EQ(first->name(), "tok-a");
    EXPECT_EQ(first->apiToken(), "tok-a");
}

TEST_F(TallyTest, TheMainInstanceIsTheOneOfTheLatestInitialize)
{
    const auto byToken = initialize("tok-b");
    const auto named = initialize("tok-b", std::string("named-b"));
    EXPECT_NE(byToken, named);
    EXPECT_EQ(Tally::mainInstance(), named);
    EXPECT_EQ(Tally::getInstance("tok-b"), byToken);
    EXPECT_EQ(initialize("tok-b"), byToken);
    EXPECT_EQ(Tally::mainInstance(), byToken);
}

TEST_F(TallyTest, AnEmptyInstanceNameIsAName)
{
    const auto instance = initialize("tok-c", std::string(""));
    EXPECT_EQ(instance->name(), "");
    EXPECT_EQ(Tally::getInstance(""), instance);
}

TEST_F(TallyTest, RemovingTheMainInstanceLeavesNone)
{
    LogCapture log;
    const auto other = initialize("tok-d1");
    initialize("tok-d2");
    Tally::removeInstance("tok-d2");
    EXPECT_EQ(Tally::safeMainInstance(), nullptr);
    EXPECT_TRUE(log.contains(TallyLogLevel::warning,
                             "WARNING: Tally main instance is NOT initialized. Call Tally.initialize(...) first."));
    EXPECT_EQ(Tally::getInstance("tok-d2"), nullptr);
    EXPECT_TRUE(log.contains(TallyLogLevel::warning, "no such instance: tok-d2"));

    Tally::setMainInstance("unregistered");
    EXPECT_EQ(Tally::safeMainInstance(), nullptr);
    Tally::setMainInstance("tok-d1");
    EXPECT_EQ(Tally::safeMainInstance(), other);
}

TEST_F(TallyTest, RemovingAnotherInstanceKeepsTheMainOne)
{
    initialize("tok-e1");
    const auto main = initialize("tok-e2");
    initialize("tok-e3");
    Tally::setMainInstance("tok-e2");
    Tally::removeInstance("tok-e1");
    EXPECT_EQ(Tally::mainInstance(), main);
    std::size_t mine = 0;
    for (const auto& instance : TallyManager::sharedInstance().getAllInstances()) {
        mine += instance->name().starts_with("tok-e");
    }
    EXPECT_EQ(mine, 2u);
}

TEST_F(TallyTest, ConcurrentInitializesOfOneNameMakeOneInstance)
{
    std::vector<std::shared_ptr<TallyInstance>> results(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = Tally::initialize("tok-f", 0, std::nullopt, false, false, std::nullopt, "http://127.0.0.1:1");
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    names.push_back("tok-f");
    for (const auto& result : results) {
        EXPECT_EQ(result, results[0]);
    }
}

TEST(TallyDeathTest, AskingForAMissingMainInstanceStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child runs this test alone: no instance yet
    EXPECT_DEATH(Tally::mainInstance(), "You have to call initialize");
}
