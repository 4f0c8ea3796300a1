#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

using foundation::Notification;
using foundation::NotificationCenter;
using Token = NotificationCenter::Token;

TEST(NotificationCenter, DeliversToObserversOfTheNameInRegistrationOrder)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver("A", [&](const Notification& n) { calls.push_back("first:" + n.name); });
    center.addObserver("B", [&](const Notification&) { calls.push_back("other"); });
    center.addObserver("A", [&](const Notification& n) {
        calls.push_back("second:" + std::to_string(std::any_cast<int>(n.userInfo.at("count"))));
    });
    center.addObserver("A", [&](const Notification&) { calls.push_back("third"); });

    center.post(Notification{"A", {{"count", 3}}});
    EXPECT_EQ(calls, (std::vector<std::string>{"first:A", "second:3", "third"}));
    center.post("nobody listens");
    EXPECT_EQ(calls.size(), 3u);
}

TEST(NotificationCenter, ObserversRemovedDuringADeliveryAreNotCalledAfterwards)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    Token self = 0;
    Token victim = 0;
    center.addObserver("A", [&](const Notification&) {
        calls.push_back("remover");
        center.removeObserver(victim);
    });
    self = center.addObserver("A", [&, padding = std::string(100, 'x')](const Notification&) {
        center.removeObserver(self);
        // The block is still running after removing itself: its captures must still be alive.
        calls.push_back("self " + std::to_string(padding.size()));
    });
    victim = center.addObserver("A", [&](const Notification&) { calls.push_back("victim"); });
    center.addObserver("A", [&](const Notification&) { calls.push_back("last"); });

    center.post("A");
    center.post("A");
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "self 100", "last", "remover", "last"}));
}

TEST(NotificationCenter, ObserversAddedDuringADeliveryHearTheNextPost)
{
    NotificationCenter center;
    int added = 0;
    int addedCalls = 0;
    center.addObserver("A", [&](const Notification&) {
        if (added++ == 0) {
            center.addObserver("A", [&](const Notification&) { ++addedCalls; });
        }
    });
    center.post("A");
    EXPECT_EQ(addedCalls, 0);
    center.post("A");
    EXPECT_EQ(addedCalls, 1);
}

TEST(NotificationCenter, TokensAreDistinctAndNeverZeroAndUnknownOnesAreIgnored)
{
    NotificationCenter center;
    std::set<Token> tokens;
    int calls = 0;
    for (int i = 0; i < 100; ++i) {
        tokens.insert(center.addObserver(i % 2 ? "A" : "B", [&](const Notification&) { ++calls; }));
    }
    EXPECT_EQ(tokens.size(), 100u);
    EXPECT_EQ(tokens.count(0), 0u);

    const Token first = *tokens.begin();
    center.removeObserver(first);
    center.removeObserver(first);
    center.removeObserver(0);
    center.removeObserver(*tokens.rbegin() + 1000);
    center.post("A");
    center.post("B");
    EXPECT_EQ(calls, 99);
}

TEST(NotificationCenter, ThreadsCanRegisterPostAndRemoveAtOnce)
{
    constexpr int kThreads = 6;
    constexpr int kPosts = 400;
    NotificationCenter center;
    std::vector<std::atomic<int>> heard(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = "thread" + std::to_string(t);
            const Token mine = center.addObserver(name, [&, t](const Notification&) { ++heard[t]; });
            for (int i = 0; i < kPosts; ++i) {
                // Churn the shared list while others deliver from it.
                const Token passing = center.addObserver(name, [](const Notification&) {});
                center.post(name);
                center.removeObserver(passing);
            }
            center.removeObserver(mine);
            center.post(name);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(heard[t].load(), kPosts) << t;
    }
}

TEST(NotificationCenter, TheDefaultCenterIsOneForTheProcess)
{
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    int calls = 0;
    const Token token = NotificationCenter::defaultCenter().addObserver(foundation::kApplicationWillTerminate,
                                                                        [&](const Notification&) { ++calls; });
    NotificationCenter::defaultCenter().post(foundation::kApplicationWillTerminate);
    NotificationCenter::defaultCenter().removeObserver(token);
    NotificationCenter::defaultCenter().post(foundation::kApplicationWillTerminate);
    EXPECT_EQ(calls, 1);
}
