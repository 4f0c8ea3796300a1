#pragma once

// Rows for the record store's tests: numbered records, the numbers read back, and a token (so a
// store file) of each test's own.

#include "analytics/EntityRecord.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyType.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace analyticstest {

/// The record {"n": n} as the store keeps it.
inline std::string record(int n) { return *tally::JSONHandler::serializeJSONObject(tally::Properties{{"n", n}}); }

/// The "n" of each row read back, in order.
inline std::vector<std::int64_t> numbers(const tally::EntityBatch& rows)
{
    std::vector<std::int64_t> out;
    for (const auto& row : rows) {
        out.push_back(*row.at("n").get<tally::NSNumber>()->exactInt());
    }
    return out;
}

/// A token unique to this process and test, so that runs side by side never share a store file.
inline std::string uniqueToken(const char* base)
{
    return std::string(base) + std::to_string(::getpid()) +
           testing::UnitTest::GetInstance()->current_test_info()->name();
}

} // namespace analyticstest
