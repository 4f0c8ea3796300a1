#pragma once

#include "analytics/TLDB.h"

#include <sqlite3.h>

#include <string>

namespace tally {

/// A compiled statement, released on every path.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
    void release()
    {
        sqlite3_finalize(handle);
        handle = nullptr;
    }
};

inline std::string indexNameFor(PersistenceType type) { return "idx_" + rawValue(type) + "_time"; }

} // namespace tally
