#pragma once

#include "AnalyticsTestSupport.h"
#include "FakeSystemFacts.h"

#include "analytics/AutomaticProperties.h"
#include "analytics/TallyInstance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace analyticstest {

/// A private home for the client's database and settings, fixed system facts, a drained main
/// queue, and instances that deliver nowhere (a closed loopback port) unless told otherwise.
class InstanceFixture : public ::testing::Test {
protected:
    ScratchDir home;
    std::shared_ptr<FakeSystemFacts> facts = std::make_shared<FakeSystemFacts>();
    std::shared_ptr<const tally::SystemFacts> previousFacts;
    DrainedMainQueue mainQueue;

    void SetUp() override
    {
        ::setenv("XDG_CACHE_HOME", (home.path() / "cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
        previousFacts = tally::SystemFacts::setCurrent(facts);
        tally::AutomaticProperties::setProperties(std::nullopt);
        tally::AutomaticProperties::setPeopleProperties(std::nullopt);
    }

    void TearDown() override
    {
        tally::AutomaticProperties::setProperties(std::nullopt);
        tally::AutomaticProperties::setPeopleProperties(std::nullopt);
        tally::SystemFacts::setCurrent(previousFacts);
    }

    static tally::TallyInstance::Options options(const std::string& name = "app")
    {
        tally::TallyInstance::Options o;
        o.apiToken = "T0K";
        o.name = name;
        o.flushInterval = 0;
        o.serverURL = "http://127.0.0.1:1";
        return o;
    }

    static std::shared_ptr<tally::TallyInstance> make(const tally::TallyInstance::Options& o = options())
    {
        return tally::TallyInstance::create(o);
    }

    /// Drops `instance` as its last reference: first lets its queues finish the work that holds it
    /// (construction's first flush holds it on the network queue while its request runs).
    static void releaseLast(std::shared_ptr<tally::TallyInstance>& instance)
    {
        instance->waitUntilIdle();
        const std::weak_ptr<tally::TallyInstance> weak = instance;
        instance.reset();
        EXPECT_TRUE(weak.expired());
    }

    /// The stored records of a kind (with the given row flag), once the queues are idle.
    static tally::EntityBatch stored(tally::TallyInstance& instance, tally::PersistenceType type, bool flag = false)
    {
        instance.waitUntilIdle();
        tally::EntityBatch batch;
        instance.trackingQueue()->sync([&] {
            batch =
                instance.tallyPersistence()->loadEntitiesInBatch(type, tally::TallyPersistence::unlimitedBatch, flag);
        });
        return batch;
    }

    static tally::EntityBatch events(tally::TallyInstance& instance)
    {
        return stored(instance, tally::PersistenceType::events);
    }

    static const tally::Properties& props(const tally::EntityRecord& record)
    {
        return *record.at("properties").get<tally::Properties>();
    }

    static std::string text(const tally::Properties& p, const std::string& key)
    {
        const auto it = p.find(key);
        if (it == p.end()) {
            return "<absent>";
        }
        if (const auto* s = it->second.get<std::string>()) {
            return *s;
        }
        return it->second.description();
    }
};

} // namespace analyticstest

namespace analyticstest {

/// A number as read back from the store (a number object) or as built (a plain kind).
inline std::optional<double> number(const tally::Properties& p, const std::string& key)
{
    const auto it = p.find(key);
    if (it == p.end()) {
        return std::nullopt;
    }
    const tally::TallyType& v = it->second;
    if (const auto* n = v.get<tally::NSNumber>()) {
        return n->doubleValue();
    }
    if (const auto* n = v.get<std::int64_t>()) {
        return static_cast<double>(*n);
    }
    if (const auto* n = v.get<std::uint64_t>()) {
        return static_cast<double>(*n);
    }
    if (const auto* n = v.get<double>()) {
        return *n;
    }
    if (const auto* n = v.get<bool>()) {
        return *n ? 1.0 : 0.0;
    }
    return std::nullopt;
}

} // namespace analyticstest
