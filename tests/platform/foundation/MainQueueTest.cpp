#include "platform/foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

class CollectingQueue final : public foundation::MainQueue {
public:
    std::vector<std::function<void()>> jobs;
    void async(std::function<void()> job) override { jobs.push_back(std::move(job)); }
};

} // namespace

TEST(MainQueue, ForwardsPostsToTheBoundQueue)
{
    CollectingQueue queue;
    foundation::MainQueue* previous = foundation::setMainQueue(&queue);
    int runs = 0;
    foundation::mainQueue().async([&runs] { ++runs; });
    EXPECT_EQ(foundation::setMainQueue(previous), &queue);

    ASSERT_EQ(queue.jobs.size(), 1u);
    queue.jobs[0]();
    EXPECT_EQ(runs, 1);
}

TEST(MainQueue, DropsAJobPostedWhileNoQueueIsBound)
{
    foundation::MainQueue* previous = foundation::setMainQueue(nullptr);
    bool ran = false;
    foundation::mainQueue().async([&ran] { ran = true; });
    foundation::setMainQueue(previous);
    EXPECT_FALSE(ran);
}

TEST(MainQueue, DropsJobsPostedAfterTheQueueWasUnbound)
{
    CollectingQueue queue;
    foundation::MainQueue* previous = foundation::setMainQueue(&queue);
    foundation::setMainQueue(nullptr);
    foundation::mainQueue().async([] {});
    foundation::setMainQueue(previous);
    EXPECT_TRUE(queue.jobs.empty());
}
