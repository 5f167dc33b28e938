// Task runtimes: blocking jobs, cancellation, abort, shutdown, the elastic
// pool and driving tasks from outside.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/runtime.h"

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
namespace rt = vantorel::rt;

// Jobs are bound to a name before co_await: g++ 12 destroys a capturing
// lambda written inside a co_await expression twice.

namespace {

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A gate that blocking jobs wait behind until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int waiting = 0;

    void pass() {
        std::unique_lock lock(mutex);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    int count() {
        std::lock_guard lock(mutex);
        return waiting;
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
    bool wait_for_waiting(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return waiting >= n; });
    }
};

std::shared_ptr<rt::Runtime> make_runtime(std::size_t workers = 2) {
    auto r = rt::Runtime::create(workers);
    EXPECT_TRUE(r.has_value());
    return *r;
}

asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

}  // namespace

TEST(Runtime, ThrowingBlockingJobBecomesInternalFault) {
    auto runtime = make_runtime();
    struct Case {
        std::function<int()> job;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {[]() -> int { throw std::runtime_error("boom"); }, "boom"},
        {[]() -> int { throw 42; }, "unknown exception"},
    };
    for (const auto& c : cases) {
        auto r = rt::block_on(*runtime, [](std::function<int()> job) -> asio::awaitable<rt::JobResult<int>> {
            co_return co_await rt::run_blocking(std::move(job));
        }(c.job));
        ASSERT_TRUE(r.has_value()) << "the task itself must not fail";
        ASSERT_FALSE(r->has_value());
        EXPECT_FALSE(r->error().is_cancelled());
        EXPECT_EQ(r->error().detail, c.detail);
        EXPECT_EQ(rt::job_failure(r->error()).display(), "no se pudo conectar: panic: " + c.detail);
        EXPECT_EQ(rt::connect_job_failure(r->error()).display(),
                  "no se pudo conectar: panic creando conexion: " + c.detail);
    }
    // The runtime survived both and still runs jobs.
    auto ok = rt::block_on(*runtime, []() -> asio::awaitable<rt::JobResult<int>> {
        auto job = [] { return 7; };
        co_return co_await rt::run_blocking(std::move(job));
    }());
    ASSERT_TRUE(ok && *ok);
    EXPECT_EQ(**ok, 7);
}

TEST(Runtime, CancelledWaitCompletesAtOnceWhileJobRunsToItsEnd) {
    auto runtime = make_runtime();
    auto gate = std::make_shared<Gate>();
    auto owned = std::make_shared<int>(5);
    std::weak_ptr<int> watch = owned;
    auto finished = std::make_shared<std::atomic<bool>>(false);

    auto job = [gate, owned = std::move(owned), finished] {
        gate->pass();
        finished->store(true);
        return *owned;
    };
    // The timer wins the race; the job is still behind the gate.
    auto r = rt::block_on(*runtime, [](auto job) -> asio::awaitable<int> {
        auto v = co_await (rt::run_blocking(std::move(job)) || sleep_for(30ms));
        co_return static_cast<int>(v.index());
    }(std::move(job)));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, 1);
    ASSERT_TRUE(gate->wait_for_waiting(1));
    EXPECT_FALSE(finished->load());
    EXPECT_FALSE(watch.expired()) << "the abandoned job still owns its state";

    gate->release();
    EXPECT_TRUE(wait_until([&] { return watch.expired(); }));
    EXPECT_TRUE(finished->load());
}

TEST(Runtime, AbortStopsTaskAtItsWaitingPoint) {
    auto runtime = make_runtime();
    auto gate = std::make_shared<Gate>();
    std::promise<rt::JobResult<int>> done;
    auto handle = rt::spawn(*runtime, [](std::shared_ptr<Gate> g) -> asio::awaitable<int> {
        auto job = [g] { g->pass(); return 1; };
        auto r = co_await rt::run_blocking(std::move(job));
        // Reached with the Cancelled value; the next co_await throws.
        co_await sleep_for(1ms);
        co_return r ? *r : -1;
    }(gate), [&done](rt::JobResult<int> r) { done.set_value(std::move(r)); });
    ASSERT_TRUE(gate->wait_for_waiting(1));
    handle.abort();
    auto fut = done.get_future();
    ASSERT_EQ(fut.wait_for(5s), std::future_status::ready) << "abort must not wait for the job";
    auto r = fut.get();
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_cancelled());
    gate->release();
}

TEST(Runtime, RaceAgainstCancelSignalFiredFromAnyThread) {
    auto runtime = make_runtime();
    enum class When { Never, Before, During };
    for (When when : {When::Never, When::Before, When::During}) {
        auto gate = std::make_shared<Gate>();
        auto signal = std::make_shared<rt::CancelSignal>(runtime->executor());
        if (when == When::Before) signal->fire();
        if (when == When::Never) gate->release();
        std::thread firer;
        if (when == When::During) {
            firer = std::thread([gate, signal] {
                gate->wait_for_waiting(1);
                signal->fire();
            });
        }
        auto body = [](std::shared_ptr<Gate> g) -> asio::awaitable<int> {
            auto job = [g] { g->pass(); return 11; };
            auto r = co_await rt::run_blocking(std::move(job));
            co_return r ? *r : -1;
        };
        auto r = rt::block_on(*runtime, rt::race_cancel(body(gate), signal));
        if (firer.joinable()) firer.join();
        gate->release();
        ASSERT_TRUE(r.has_value());
        if (when == When::Never) {
            ASSERT_TRUE(r->has_value());
            EXPECT_EQ(**r, 11);
        } else {
            EXPECT_FALSE(r->has_value()) << "the signal must win";
        }
    }
}

TEST(Runtime, ShutdownWithJobsInFlightNeitherHangsNorCrashes) {
    auto runtime = make_runtime(1);
    auto gate = std::make_shared<Gate>();
    constexpr int kTasks = 4;
    auto delivered = std::make_shared<std::atomic<int>>(0);
    auto owned = std::make_shared<int>(0);
    std::weak_ptr<int> watch = owned;
    for (int i = 0; i < kTasks; ++i) {
        rt::spawn(*runtime, [](std::shared_ptr<Gate> g, std::shared_ptr<int> o) -> asio::awaitable<int> {
            auto job = [g, o] { g->pass(); return *o; };
            auto r = co_await rt::run_blocking(std::move(job));
            co_return r ? *r : -1;
        }(gate, owned), [delivered](rt::JobResult<int>) { delivered->fetch_add(1); });
    }
    owned.reset();
    ASSERT_TRUE(gate->wait_for_waiting(kTasks));

    // A thread waiting in block_on is released by the shutdown.
    auto outside = std::async(std::launch::async, [&] {
        return rt::block_on(*runtime, []() -> asio::awaitable<int> {
            co_await sleep_for(1h);
            co_return 0;
        }());
    });
    std::this_thread::sleep_for(20ms);

    auto stopping = std::async(std::launch::async, [&] { runtime->shutdown(); runtime->shutdown(); });
    ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready) << "shutdown waited for blocking jobs";
    ASSERT_EQ(outside.wait_for(5s), std::future_status::ready);
    auto r = outside.get();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().detail, "runtime is shut down");

    runtime.reset();
    gate->release();
    // The jobs finish on their own; their completions are dropped safely and
    // every task is still reported once.
    EXPECT_TRUE(wait_until([&] { return watch.expired(); }));
    EXPECT_TRUE(wait_until([&] { return delivered->load() == kTasks; }));
}

TEST(Runtime, ShutdownFromItsOwnWorkerDoesNotDeadlock) {
    auto runtime = make_runtime(1);
    // The task keeps the runtime alive, as an owner running on it would.
    rt::spawn(*runtime, [](std::shared_ptr<rt::Runtime> r) -> asio::awaitable<int> {
        r->shutdown();
        co_return 0;
    }(runtime), [](rt::JobResult<int>) {});
    ASSERT_TRUE(wait_until([&] { return runtime->is_shut_down(); }));
    auto r = rt::block_on(*runtime, []() -> asio::awaitable<int> { co_return 1; }());
    EXPECT_FALSE(r.has_value());
    runtime.reset();  // destructor must not join the detached worker
}

TEST(Runtime, ElasticPoolRunsJobsConcurrentlyOnDemand) {
    // 20 jobs can only all pass a 20-party rendezvous if each got a thread.
    rt::ElasticPool pool(rt::ElasticPool::kDefaultMaxThreads, 10s);
    EXPECT_EQ(pool.thread_count(), 0u) << "no thread before the first job";
    constexpr int kJobs = 20;
    auto mutex = std::make_shared<std::mutex>();
    auto cv = std::make_shared<std::condition_variable>();
    auto arrived = std::make_shared<int>(0);
    auto met = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kJobs; ++i) {
        std::move_only_function<void()> job = [=] {
            std::unique_lock lock(*mutex);
            ++*arrived;
            cv->notify_all();
            if (cv->wait_for(lock, 10s, [&] { return *arrived == kJobs; })) met->fetch_add(1);
        };
        ASSERT_TRUE(pool.submit(job));
    }
    ASSERT_TRUE(wait_until([&] { return met->load() == kJobs; }, 15s));
    EXPECT_GE(pool.thread_count(), static_cast<std::size_t>(kJobs));
}

TEST(Runtime, ElasticPoolCapsThreadsAndRetiresIdleOnes) {
    rt::ElasticPool pool(rt::ElasticPool::kDefaultMaxThreads, 100ms);
    auto gate = std::make_shared<Gate>();
    constexpr int kJobs = 600;
    auto done = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kJobs; ++i) {
        std::move_only_function<void()> job = [gate, done] {
            gate->pass();
            done->fetch_add(1);
        };
        ASSERT_TRUE(pool.submit(job));
    }
    ASSERT_TRUE(gate->wait_for_waiting(512));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pool.thread_count(), 512u);
    EXPECT_EQ(gate->count(), 512) << "jobs beyond the cap wait in the queue";
    gate->release();
    ASSERT_TRUE(wait_until([&] { return done->load() == kJobs; }, 30s));
    EXPECT_TRUE(wait_until([&] { return pool.thread_count() == 0; }, 10s)) << "idle threads retire";
}

TEST(Runtime, BlockOnDrivesTaskFromOutsideThread) {
    auto runtime = make_runtime(1);
    EXPECT_EQ(runtime->worker_count(), 1u);
    const auto caller = std::this_thread::get_id();
    auto r = rt::block_on(*runtime, [](std::thread::id caller) -> asio::awaitable<std::pair<bool, int>> {
        co_await sleep_for(5ms);
        auto job = [caller] { return std::this_thread::get_id() != caller; };
        auto elsewhere = co_await rt::run_blocking(std::move(job));
        co_return std::pair{elsewhere.value_or(false), 3};
    }(caller));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->first) << "the job ran on a blocking thread";
    EXPECT_EQ(r->second, 3);

    // From one of the runtime's own workers it refuses instead of deadlocking.
    auto inner = rt::block_on(*runtime, [](rt::Runtime* self) -> asio::awaitable<bool> {
        auto nested = rt::block_on(*self, []() -> asio::awaitable<int> { co_return 1; }());
        co_return !nested.has_value();
    }(runtime.get()));
    ASSERT_TRUE(inner.has_value());
    EXPECT_TRUE(*inner);

    auto failing = rt::block_on(*runtime, []() -> asio::awaitable<int> {
        throw std::logic_error("bad body");
        co_return 0;
    }());
    ASSERT_FALSE(failing.has_value());
    EXPECT_EQ(failing.error().detail, "bad body");
}

TEST(Runtime, RunHereDrivesAwaitableOnTheCurrentThread) {
    const auto me = std::this_thread::get_id();
    auto r = rt::run_here([](std::thread::id me) -> asio::awaitable<bool> {
        co_await sleep_for(1ms);
        auto job = [me] { return std::this_thread::get_id() == me; };
        auto same = co_await rt::run_blocking(std::move(job));
        co_return same.value_or(false);
    }(me));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(*r);
}
