// The analytics client's storage and delivery:
// - records stored per second through the record queue (the persistence on a serial queue, as the
//   client stores them) against a raw SQLite insert loop with the same journal settings;
// - records delivered per second to a loopback HTTP server, with and without gzip;
// - bytes per record on the wire, with and without gzip.
#include "analytics/Flush.h"
#include "analytics/Gzip.h"
#include "analytics/JSONHandler.h"
#include "analytics/TallyPersistence.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/MainQueue.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace tally;
namespace fs = std::filesystem;

namespace {

// A private caches and settings folder for the whole run.
struct ScratchHome {
    ScratchHome()
    {
        std::string pattern = (fs::temp_directory_path() / "thwacko-analytics-bench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    ~ScratchHome()
    {
        std::error_code error;
        fs::remove_all(root, error);
    }
    fs::path root;
};

ScratchHome& home()
{
    static ScratchHome scratch;
    return scratch;
}

// A typical event record: name, time, distinct id, automatic and own properties.
EntityRecord eventRecord(int n)
{
    return {{"event", "Slap Detected"},
            {"properties", Properties{{"time", 1700000000000.0 + n},
                                      {"distinct_id", "4B1E6F0C-2D7A-4C55-9E3F-8A1B2C3D4E5F"},
                                      {"$os", "Linux"},
                                      {"$os_version", "6.1.0-18-amd64"},
                                      {"$app_version_string", "1.0.0"},
                                      {"$lib_version", "1.0.0"},
                                      {"$model", "x86_64"},
                                      {"mp_lib", "swift"},
                                      {"intensity", 0.734},
                                      {"mode", "classic"},
                                      {"sound", "bonk-03"},
                                      {"count", n},
                                      {"$tl_metadata", Properties{{"$tl_event_id", "a1b2c3d4e5f60718"},
                                                                  {"$tl_session_id", "0f1e2d3c4b5a6978"},
                                                                  {"$tl_session_seq_id", n},
                                                                  {"$tl_session_start_sec", 1700000000}}}}}};
}

void BM_StoreThroughRecordQueue(benchmark::State& state)
{
    home();
    TallyPersistence persistence("benchstore" + std::to_string(::getpid()));
    foundation::DispatchQueue tracking("bench.tracking");
    constexpr int kPerIteration = 100;
    int n = 0;
    for (auto _ : state) {
        for (int i = 0; i < kPerIteration; ++i) {
            tracking.async(
                [&persistence, record = eventRecord(n++)] { persistence.saveEntity(record, PersistenceType::events); });
        }
        tracking.sync([] {}); // the records are stored when the queue has run them
    }
    state.SetItemsProcessed(state.iterations() * kPerIteration);
    persistence.resetEntities();
}
BENCHMARK(BM_StoreThroughRecordQueue)->UseRealTime();

// The same rows (the same JSON bytes) inserted one by one with a statement prepared once, in a
// database with the same journal mode and default synchronous setting.
void BM_RawSQLiteInsertLoop(benchmark::State& state)
{
    home();
    const fs::path path = home().root / ("raw" + std::to_string(::getpid()) + ".sqlite");
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "CREATE TABLE IF NOT EXISTS t(id integer primary key autoincrement,data blob,time real,flag integer);",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS idx_t_time ON t (time);", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t (data, flag, time) VALUES(?, ?, ?);", -1, &insert, nullptr);
    const std::string data = *JSONHandler::serializeJSONObject(eventRecord(1));
    double time = 1.7e9;
    for (auto _ : state) {
        sqlite3_bind_blob(insert, 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, 0);
        sqlite3_bind_double(insert, 3, time += 0.001);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawSQLiteInsertLoop)->UseRealTime();

class LoopbackServer {
public:
    LoopbackServer()
    {
        server.Post(".*", [this](const httplib::Request&, httplib::Response& response) {
            ++served;
            response.set_content("1", "text/plain");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) {
            std::this_thread::yield();
        }
    }
    ~LoopbackServer()
    {
        server.stop();
        thread.join();
    }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port); }
    long requests() const { return served; }

private:
    std::atomic<long> served{0};
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

struct NoMainQueue final : foundation::MainQueue {
    void async(std::function<void()>) override {}
};

// One full flush of 500 records (ten requests of 50) per iteration.
void BM_DeliverToLoopback(benchmark::State& state)
{
    NoMainQueue mainQueue;
    foundation::setMainQueue(&mainQueue);
    LoopbackServer server;
    auto flush = std::make_shared<Flush>(server.baseURL(), state.range(0) != 0);
    std::int32_t nextId = 1;
    for (auto _ : state) {
        state.PauseTiming();
        // Fresh row ids: the engine does not send rows it has already delivered.
        EntityBatch batch;
        for (int n = 0; n < 500; ++n) {
            auto record = eventRecord(n);
            record["id"] = nextId++;
            batch.push_back(std::move(record));
        }
        state.ResumeTiming();
        flush->flushQueue(batch, FlushType::events);
    }
    if (server.requests() != state.iterations() * 10) {
        state.SkipWithError("not every batch reached the server");
    }
    state.SetItemsProcessed(state.iterations() * 500);
    state.SetLabel(state.range(0) ? "gzip" : "plain");
    foundation::setMainQueue(nullptr);
}
BENCHMARK(BM_DeliverToLoopback)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Bytes per record in a full batch of 50, as sent.
void BM_WireBytesPerRecord(benchmark::State& state)
{
    EntityBatch batch;
    for (int n = 0; n < 50; ++n) {
        auto record = eventRecord(n);
        record["id"] = n + 1;
        batch.push_back(std::move(record));
    }
    std::size_t plain = 0;
    std::size_t packed = 0;
    for (auto _ : state) {
        const std::string body = *JSONHandler::encodeAPIData(batch);
        plain = body.size();
        packed = gzipCompressed(body).size();
        benchmark::DoNotOptimize(packed);
    }
    state.counters["plain_bytes_per_record"] = static_cast<double>(plain) / 50.0;
    state.counters["gzip_bytes_per_record"] = static_cast<double>(packed) / 50.0;
}
BENCHMARK(BM_WireBytesPerRecord);

} // namespace
