// The engine's pool against the sandbox database (and the scripted driver
// for the driver answers the sandbox cannot give).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../scripted_driver/testing.h"
#include "core/pool.h"
#include "runtime/runtime.h"
#include "sandbox.h"

using namespace std::chrono_literals;
namespace rt = vantorel::rt;
using vantorel::CoreError;
using vantorel::Engine;
using vantorel::EngineOptions;
using vantorel::ErrorKind;
using vantorel::Lease;
using vantorel::Result;
using vantorel::SecretString;
using vantorel::test::describe;
using vantorel::test::query_sql;
using vantorel::test::run_sql;
using vantorel::test::u16;

namespace {

rt::Runtime& runtime() {
    static std::shared_ptr<rt::Runtime> shared = *rt::Runtime::create(2);
    return *shared;
}

std::shared_ptr<Engine> make_engine(std::uint64_t pool_size, SecretString cs = vantorel::test::sandbox_connection_string()) {
    EngineOptions options;
    options.pool_size = pool_size;
    auto engine = Engine::create(std::move(cs), options);
    EXPECT_TRUE(engine.has_value());
    return *engine;
}

Result<Lease> acquire(const std::shared_ptr<Engine>& engine) {
    return rt::flatten(rt::block_on(runtime(), engine->acquire()));
}

Lease must_acquire(const std::shared_ptr<Engine>& engine) {
    auto lease = acquire(engine);
    EXPECT_TRUE(lease.has_value()) << describe(lease.error());
    return lease ? std::move(*lease) : Lease();
}

// An acquire started as a task on the runtime, to be waited for later.
struct PendingAcquire {
    std::shared_ptr<std::promise<rt::JobResult<Result<Lease>>>> promise =
        std::make_shared<std::promise<rt::JobResult<Result<Lease>>>>();
    std::future<rt::JobResult<Result<Lease>>> future = promise->get_future();
    rt::TaskHandle handle;

    explicit PendingAcquire(const std::shared_ptr<Engine>& engine) {
        handle = rt::spawn(runtime(), engine->acquire(),
                           [p = promise](rt::JobResult<Result<Lease>> r) { p->set_value(std::move(r)); });
    }
};

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::int64_t int_value(const vantorel::QueryResult& r) {
    const auto& text = std::get<std::u16string>(r.rows.at(0).at(0));
    return std::stoll(std::string(text.begin(), text.end()));  // ASCII digits
}

std::int64_t backend_pid(SQLHDBC conn) {
    auto r = query_sql(conn, "SELECT pg_backend_pid()");
    EXPECT_TRUE(r.has_value()) << describe(r.error());
    return r ? int_value(*r) : -1;
}

}  // namespace

class PoolTest : public vantorel::test::SandboxTest {
protected:
    // Server sessions of the test role in the test database, other than the
    // one asking.
    std::int64_t sessions() {
        return int_value(must_query(
            "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND datname = current_database() "
            "AND backend_type = 'client backend' AND pid <> pg_backend_pid()"));
    }
    // The view lags behind a disconnect.
    bool sessions_settle_at(std::int64_t n) {
        return wait_until([&] { return sessions() == n; });
    }
};

TEST_F(PoolTest, FullPoolMakesAcquireWaitAndAReturnedLeaseSatisfiesIt) {
    auto engine = make_engine(2);
    EXPECT_EQ(engine->size(), 0u) << "a new pool holds no connection";
    Lease a = must_acquire(engine);
    Lease b = must_acquire(engine);
    const SQLHDBC a_handle = a.connection();

    PendingAcquire third(engine);
    ASSERT_TRUE(wait_until([&] { return engine->waiting_count() == 1; }));
    EXPECT_EQ(third.future.wait_for(50ms), std::future_status::timeout);

    a.reset();
    ASSERT_EQ(third.future.wait_for(10s), std::future_status::ready);
    auto got = third.future.get();
    ASSERT_TRUE(got.has_value());
    ASSERT_TRUE(got->has_value()) << describe(got->error());
    EXPECT_EQ((*got)->connection(), a_handle) << "the returned connection is handed on";
    EXPECT_EQ(engine->size(), 2u);
    EXPECT_EQ(engine->waiting_count(), 0u);
}

TEST_F(PoolTest, IdleConnectionsAreReusedOldestFirst) {
    auto engine = make_engine(3);
    Lease a = must_acquire(engine);
    Lease b = must_acquire(engine);
    const SQLHDBC first = b.connection();
    const SQLHDBC second = a.connection();
    b.reset();  // returned first: the oldest idle
    a.reset();
    EXPECT_EQ(engine->idle_count(), 2u);
    Lease c = must_acquire(engine);
    Lease d = must_acquire(engine);
    EXPECT_EQ(c.connection(), first);
    EXPECT_EQ(d.connection(), second);
    EXPECT_EQ(engine->size(), 2u);
}

TEST_F(PoolTest, PoolSizeZeroBehavesAsOneAndAnAbortedWaiterTakesNothing) {
    auto engine = make_engine(0);
    EXPECT_EQ(engine->max_size(), 1u);
    Lease held = must_acquire(engine);

    PendingAcquire waiting(engine);
    ASSERT_TRUE(wait_until([&] { return engine->waiting_count() == 1; }));
    waiting.handle.abort();
    ASSERT_EQ(waiting.future.wait_for(5s), std::future_status::ready);
    auto r = waiting.future.get();
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_cancelled());
    EXPECT_EQ(engine->waiting_count(), 0u);
    EXPECT_EQ(engine->size(), 1u);
    EXPECT_EQ(engine->leased_count(), 1u);

    held.reset();
    EXPECT_EQ(engine->idle_count(), 1u) << "nothing was handed to the aborted waiter";
    Lease again = must_acquire(engine);
    EXPECT_TRUE(again);
    EXPECT_EQ(engine->size(), 1u);
}

TEST_F(PoolTest, WaitLimitIsThirtySecondsThenPoolTimeout) {
    auto engine = make_engine(1);
    Lease held = must_acquire(engine);
    const auto start = std::chrono::steady_clock::now();
    // The awaitable and the one driven from a plain thread share the limit.
    auto from_thread = std::async(std::launch::async, [&] { return engine->acquire_blocking(); });
    auto awaited = acquire(engine);
    const auto waited = std::chrono::steady_clock::now() - start;
    auto blocking = from_thread.get();
    for (const auto* r : {&awaited, &blocking}) {
        ASSERT_FALSE(r->has_value());
        EXPECT_EQ(r->error().kind(), ErrorKind::PoolTimeout);
        EXPECT_EQ(r->error().display(), "tiempo de espera agotado esperando una conexion del pool");
    }
    EXPECT_GE(waited, 29s);
    EXPECT_LT(waited, 45s);
    EXPECT_EQ(engine->waiting_count(), 0u);
    EXPECT_EQ(engine->leased_count(), 1u);
    EXPECT_EQ(engine->size(), 1u);
}

TEST_F(PoolTest, TerminatedBackendIsReplacedOnTheNextAcquire) {
    auto engine = make_engine(1);
    Lease first = must_acquire(engine);
    const auto old_pid = backend_pid(first.connection());
    first.reset();

    must_run("SELECT pg_terminate_backend(" + std::to_string(old_pid) + ")");
    ASSERT_TRUE(wait_until([&] {
        return int_value(must_query("SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(old_pid))) == 0;
    }));

    // The driver still answers "alive" until a statement has failed: that
    // statement's error reaches the caller...
    Lease second = must_acquire(engine);
    auto failed = run_sql(second.connection(), "SELECT 1");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), ErrorKind::Query);
    EXPECT_EQ(failed.error().sqlstate(), "57P01") << describe(failed.error());
    second.reset();

    // ...and the next acquire gets a fresh, working connection.
    Lease third = must_acquire(engine);
    const auto new_pid = backend_pid(third.connection());
    EXPECT_NE(new_pid, old_pid);
    EXPECT_GT(new_pid, 0);
    EXPECT_EQ(engine->size(), 1u);
}

TEST_F(PoolTest, WrongPasswordFailsWithTheServerMessageAndCountsNothing) {
    auto engine = make_engine(2, vantorel::test::sandbox_connection_string_with_password("not-the-password"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto r = acquire(engine);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), ErrorKind::Connect);
        const std::string text = r.error().display();
        EXPECT_TRUE(text.starts_with("no se pudo conectar: Error occurred while creating a new object: "
                                     "error de consulta [08001]: "))
            << text;
        EXPECT_NE(text.find("password authentication failed"), std::string::npos) << text;
        EXPECT_EQ(text.find("not-the-password"), std::string::npos) << "the password never shows";
        EXPECT_EQ(engine->size(), 0u);
        EXPECT_EQ(engine->leased_count(), 0u);
    }
}

TEST_F(PoolTest, CloseFailsWaitersAndLaterAcquiresAndDestroysConnections) {
    ASSERT_TRUE(sessions_settle_at(0));
    auto engine = make_engine(2);
    Lease a = must_acquire(engine);
    must_acquire(engine).reset();  // one idle connection
    Lease b = must_acquire(engine);
    b.reset();
    EXPECT_EQ(engine->idle_count(), 1u);
    ASSERT_TRUE(sessions_settle_at(2));

    engine->close();
    engine->close();  // harmless
    EXPECT_EQ(engine->idle_count(), 0u) << "idle connections are destroyed at once";
    EXPECT_EQ(engine->size(), 1u);
    EXPECT_TRUE(sessions_settle_at(1));

    auto later = acquire(engine);
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error().display(), "no se pudo conectar: Pool has been closed");
    auto later_blocking = engine->acquire_blocking();
    ASSERT_FALSE(later_blocking.has_value());
    EXPECT_EQ(later_blocking.error().display(), "no se pudo conectar: Pool has been closed");

    // A lease taken before close keeps working; its connection goes when it ends.
    EXPECT_TRUE(run_sql(a.connection(), "SELECT 1").has_value());
    a.reset();
    EXPECT_EQ(engine->size(), 0u);
    EXPECT_EQ(engine->idle_count(), 0u);
    EXPECT_TRUE(sessions_settle_at(0));
}

TEST_F(PoolTest, CloseFailsAcquiresThatAreWaiting) {
    auto engine = make_engine(1);
    Lease held = must_acquire(engine);
    PendingAcquire waiting(engine);
    ASSERT_TRUE(wait_until([&] { return engine->waiting_count() == 1; }));
    engine->close();
    ASSERT_EQ(waiting.future.wait_for(5s), std::future_status::ready);
    auto r = waiting.future.get();
    ASSERT_TRUE(r.has_value());
    ASSERT_FALSE(r->has_value());
    EXPECT_EQ(r->error().display(), "no se pudo conectar: Pool has been closed");
    EXPECT_EQ(engine->waiting_count(), 0u);
    held.reset();
    EXPECT_EQ(engine->size(), 0u);
}

TEST_F(PoolTest, TakenConnectionLeavesThePoolAndANewOneOpens) {
    auto engine = make_engine(1);
    Lease a = must_acquire(engine);
    PendingAcquire waiting(engine);
    ASSERT_TRUE(wait_until([&] { return engine->waiting_count() == 1; }));

    vantorel::odbc::RawConnection taken = a.take_connection();
    EXPECT_FALSE(a);
    ASSERT_TRUE(taken);
    ASSERT_EQ(waiting.future.wait_for(10s), std::future_status::ready) << "the waiter may open a replacement";
    auto got = waiting.future.get();
    ASSERT_TRUE(got && *got) << (got && !*got ? describe(got->error()) : "");
    Lease b = std::move(**got);
    EXPECT_NE(backend_pid(b.connection()), backend_pid(taken.handle())) << "both connections work, apart";
    EXPECT_EQ(engine->size(), 1u);

    a.reset();  // the emptied lease returns nothing
    EXPECT_EQ(engine->idle_count(), 0u);
    EXPECT_EQ(engine->leased_count(), 1u);
    taken.close();
}

TEST_F(PoolTest, ManyConcurrentAcquiresNeverOpenMoreThanPoolSizeSessions) {
    constexpr std::uint64_t kPoolSize = 3;
    constexpr int kTasks = 40;
    ASSERT_TRUE(sessions_settle_at(0)) << "sessions left over from earlier tests";
    auto engine = make_engine(kPoolSize);
    auto in_flight = std::make_shared<std::atomic<int>>(0);
    auto most = std::make_shared<std::atomic<int>>(0);
    auto finished = std::make_shared<std::atomic<int>>(0);
    auto failures = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kTasks; ++i) {
        rt::spawn(runtime(), [](std::shared_ptr<Engine> e, std::shared_ptr<std::atomic<int>> now,
                                std::shared_ptr<std::atomic<int>> top) -> asio::awaitable<bool> {
            auto lease = co_await e->acquire();
            if (!lease) co_return false;
            auto job = [l = std::move(*lease), now, top]() mutable {
                const int n = now->fetch_add(1) + 1;
                int seen = top->load();
                while (n > seen && !top->compare_exchange_weak(seen, n)) {
                }
                auto r = run_sql(l.connection(), "SELECT pg_sleep(0.02)");
                now->fetch_sub(1);
                return r.has_value();
            };
            auto ok = co_await rt::run_blocking(std::move(job));
            co_return ok.value_or(false);
        }(engine, in_flight, most), [finished, failures](rt::JobResult<bool> r) {
            if (!r || !*r) failures->fetch_add(1);
            finished->fetch_add(1);
        });
    }
    std::int64_t most_sessions = 0;
    while (finished->load() < kTasks) {
        most_sessions = std::max(most_sessions, sessions());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(failures->load(), 0);
    EXPECT_LE(most->load(), static_cast<int>(kPoolSize));
    EXPECT_LE(most_sessions, static_cast<std::int64_t>(kPoolSize));
    EXPECT_LE(engine->size(), kPoolSize);
    EXPECT_LE(sessions(), static_cast<std::int64_t>(kPoolSize));
    engine->close();
    EXPECT_TRUE(sessions_settle_at(0));
}

TEST_F(PoolTest, ExecuteReportsAffectedRows) {
    auto engine = make_engine(1);
    Lease lease = must_acquire(engine);
    ASSERT_TRUE(lease.execute(u16("CREATE TEMP TABLE pool_rows (id INTEGER)"), {}).has_value());
    auto inserted = lease.execute(u16("INSERT INTO pool_rows VALUES (1), (2), (3)"), {});
    ASSERT_TRUE(inserted.has_value()) << describe(inserted.error());
    EXPECT_EQ(*inserted, 3);
    auto updated = lease.execute(u16("UPDATE pool_rows SET id = 0 WHERE id > 10"), {});
    ASSERT_TRUE(updated.has_value()) << describe(updated.error());
    EXPECT_EQ(*updated, 0);
    auto rows = lease.query(u16("SELECT id FROM pool_rows ORDER BY id"), {});
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(rows->rows.size(), 3u);
}

TEST_F(PoolTest, AcquireAndLeasesKeepTheEngineAlive) {
    auto engine = make_engine(1);
    std::weak_ptr<Engine> weak = engine;
    auto pending = engine->acquire();
    engine.reset();  // before the acquire has even started
    auto lease = rt::flatten(rt::block_on(runtime(), std::move(pending)));
    ASSERT_TRUE(lease.has_value()) << describe(lease.error());
    EXPECT_TRUE(run_sql(lease->connection(), "SELECT 1").has_value());
    EXPECT_FALSE(weak.expired());
    lease = Lease();  // returned; nothing else holds the engine
    EXPECT_TRUE(weak.expired());
}

TEST_F(PoolTest, AcquireBlockingOnABlockingThreadDoesNotStallTheRuntime) {
    // One worker: if the blocking acquire waited on the runtime itself, the
    // lease returned by the other task could never reach it.
    auto one = *rt::Runtime::create(1);
    auto engine = make_engine(1);
    Lease held = must_acquire(engine);
    auto result = std::async(std::launch::async, [&] {
        return rt::block_on(*one, [](std::shared_ptr<Engine> e) -> asio::awaitable<bool> {
            auto job = [e] {
                auto lease = e->acquire_blocking();
                return lease.has_value() && static_cast<bool>(*lease);
            };
            auto got = co_await rt::run_blocking(std::move(job));
            co_return got.value_or(false);
        }(engine));
    });
    ASSERT_TRUE(wait_until([&] { return engine->waiting_count() == 1; }));
    // Return the held lease from a task on the same one-worker runtime.
    auto returned = rt::block_on(*one, [](Lease l) -> asio::awaitable<bool> {
        l.reset();
        co_return true;
    }(std::move(held)));
    EXPECT_TRUE(returned.has_value());
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    auto r = result.get();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(*r);
}

// ---- driver answers the sandbox cannot give ------------------------------

TEST(PoolScripted, HealthCheckAtReuseReplacesOnlyWhatTheDriverCallsDead) {
    using scripted_testing::json;
    struct Case {
        const char* rc;
        bool replaced;
    };
    for (const Case c : {Case{"SQL_SUCCESS", true}, Case{"SQL_SUCCESS_WITH_INFO", false}, Case{"SQL_ERROR", false}}) {
        SCOPED_TRACE(c.rc);
        scripted_testing::Scenario scenario;
        scenario.rule(json::parse(R"({"exact": "SELECT 1", "columns": [{"name": "A", "type": 4, "size": 10}], "rows": [["1"]]})"));
        scenario.data()["connection"] = {{"dead_after_statements", 1}, {"dead_rc", c.rc}, {"dead_value", 1}};
        scenario.write();
        auto engine = make_engine(1, SecretString(scenario.connection_string()));

        Lease first = must_acquire(engine);
        ASSERT_TRUE(first.query(u16("SELECT 1"), {}).has_value());
        first.reset();
        EXPECT_TRUE(scenario.calls("SQLGetConnectAttr").empty()) << "no check when a connection returns";

        Lease second = must_acquire(engine);
        ASSERT_TRUE(second);
        const auto checks = scenario.calls("SQLGetConnectAttr");
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].at("attr"), SQL_ATTR_CONNECTION_DEAD);
        EXPECT_EQ(scenario.calls("SQLDriverConnect").size(), c.replaced ? 2u : 1u);
        EXPECT_EQ(scenario.calls("SQLDisconnect").size(), c.replaced ? 1u : 0u);
        EXPECT_EQ(engine->size(), 1u);
    }
}
