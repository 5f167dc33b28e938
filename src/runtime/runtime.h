// Task runtimes: an io_context served by worker threads, an elastic pool of
// threads for blocking work, task spawning with abort, racing a body
// against a cancel signal, and driving a task from an outside thread.
#pragma once

#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <variant>
#include <vector>

#include "runtime/blocking.h"

namespace vantorel::rt {

// Threads for blocking work, started on demand up to a cap; a thread that
// stays idle for idle_timeout ends. Shutting down never waits for running
// jobs: every thread owns a share of this pool's state and ends on its own.
class ElasticPool final : public BlockingExecutor {
public:
    static constexpr std::size_t kDefaultMaxThreads = 512;

    ElasticPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout);
    ~ElasticPool() override;

    bool submit(std::move_only_function<void()>& job) override;
    // Idle threads end now, running ones after their job; queued jobs that
    // never started are dropped (their waiters see them abandoned).
    void shutdown() noexcept;

    std::size_t thread_count() const;
    std::size_t max_threads() const noexcept;

private:
    struct State;
    static void worker(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

struct RuntimeConfig {
    std::size_t workers = 1;
    std::size_t max_blocking_threads = ElasticPool::kDefaultMaxThreads;
    std::chrono::milliseconds blocking_idle_timeout = std::chrono::seconds(10);
};

class Runtime : public std::enable_shared_from_this<Runtime> {
public:
    using executor_type = asio::io_context::executor_type;

    // The error is the operating system's text when a thread cannot start.
    static std::expected<std::shared_ptr<Runtime>, std::string> create(std::size_t workers);
    static std::expected<std::shared_ptr<Runtime>, std::string> create(const RuntimeConfig& config);

    // The process-wide runtime: one worker per CPU, built on first use and
    // never destroyed (its threads may be inside the interpreter at exit).
    static std::expected<std::shared_ptr<Runtime>, std::string> process();

    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    executor_type executor() const noexcept { return io_->get_executor(); }
    // A strand of this runtime: tasks run on one so abort can reach them safely.
    asio::strand<executor_type> make_strand() const { return asio::make_strand(io_->get_executor()); }

    // Stops the workers and joins them (detaches when called on one of them).
    // Blocking jobs in flight finish on their own. Idempotent.
    void shutdown() noexcept;
    bool is_shut_down() const noexcept { return stopped_.load(); }
    bool on_worker_thread() const noexcept;

    std::size_t worker_count() const noexcept { return workers_.size(); }
    std::size_t blocking_thread_count() const { return blocking_->thread_count(); }

    // Calls fn when the runtime shuts down (at once if it already has); for
    // waiters outside the runtime that must not outlive it.
    struct Watcher {
        virtual ~Watcher() = default;
        virtual void runtime_stopped() noexcept = 0;
    };
    bool watch(const std::shared_ptr<Watcher>& w);
    void unwatch(const std::shared_ptr<Watcher>& w);

private:
    explicit Runtime(const RuntimeConfig& config);
    std::optional<std::string> start(std::size_t workers);

    std::shared_ptr<asio::io_context> io_;
    std::shared_ptr<ElasticPool> blocking_;
    std::optional<asio::executor_work_guard<executor_type>> guard_;
    std::vector<std::thread> workers_;
    std::vector<std::thread::id> worker_ids_;
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::unordered_set<std::shared_ptr<Watcher>> watchers_;
};

// ---- tasks -------------------------------------------------------------

// A handle to a spawned task. abort() may be called from any thread: the
// task stops at its next suspension point (the pending operation is
// cancelled, the next co_await throws operation_aborted).
class TaskHandle {
public:
    struct State {
        asio::strand<Runtime::executor_type> strand;
        asio::cancellation_signal signal;
        std::atomic<bool> abort_requested{false};
        bool finished = false;  // touched on the strand only
        explicit State(asio::strand<Runtime::executor_type> s) : strand(std::move(s)) {}
    };

    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void abort() const;
    bool valid() const noexcept { return state_ != nullptr; }

private:
    std::shared_ptr<State> state_;
};

namespace detail {

// Calls on_done exactly once: with the task's outcome, or with Cancelled
// when the task is dropped unfinished (its runtime shut down under it).
template <class T, class OnDone>
class TaskCompletion {
public:
    TaskCompletion(std::shared_ptr<TaskHandle::State> state, std::shared_ptr<std::optional<JobResult<T>>> out,
                   OnDone on_done)
        : state_(std::move(state)), out_(std::move(out)), on_done_(std::move(on_done)) {}
    TaskCompletion(TaskCompletion&& other) noexcept
        : state_(std::move(other.state_)), out_(std::move(other.out_)), on_done_(std::move(other.on_done_)),
          armed_(std::exchange(other.armed_, false)) {}
    TaskCompletion& operator=(TaskCompletion&&) = delete;
    ~TaskCompletion() {
        if (armed_) deliver(std::unexpected(JobError::cancelled()));
    }

    void operator()(std::exception_ptr e) {
        if (!armed_) return;
        state_->finished = true;
        state_->signal.slot().clear();
        if (e) {
            try {
                std::rethrow_exception(e);
            } catch (const asio::system_error& se) {
                if (se.code() == asio::error::operation_aborted && state_->abort_requested.load())
                    deliver(std::unexpected(JobError::cancelled()));
                else
                    deliver(std::unexpected(JobError::panicked(se.what())));
            } catch (...) {
                deliver(std::unexpected(JobError::panicked(current_exception_text())));
            }
        } else if (*out_) {
            deliver(std::move(**out_));
        } else {
            deliver(std::unexpected(JobError::panicked("task ended without a result")));
        }
    }

private:
    void deliver(JobResult<T> r) noexcept {
        armed_ = false;
        try {
            on_done_(std::move(r));
        } catch (...) {
            // The delivery itself failed; nothing is left to tell.
        }
    }

    std::shared_ptr<TaskHandle::State> state_;
    std::shared_ptr<std::optional<JobResult<T>>> out_;
    OnDone on_done_;
    bool armed_ = true;
};

template <class T>
asio::awaitable<void> store_shared(asio::awaitable<T> body, std::shared_ptr<std::optional<JobResult<T>>> out) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(body);
        out->emplace();
    } else {
        out->emplace(co_await std::move(body));
    }
}

}  // namespace detail

// Starts body on its own strand of rt. on_done(JobResult<T>) runs exactly
// once, on that strand: the value, Panicked with the text of an exception
// that escaped, or Cancelled after abort() (or when the runtime went away
// before the task ended).
template <class T, class OnDone>
TaskHandle spawn(Runtime& rt, asio::awaitable<T> body, OnDone on_done) {
    auto state = std::make_shared<TaskHandle::State>(rt.make_strand());
    auto out = std::make_shared<std::optional<JobResult<T>>>();
    detail::TaskCompletion<T, OnDone> completion(state, out, std::move(on_done));
    if (rt.is_shut_down()) return TaskHandle(state);  // completion's destructor reports Cancelled
    asio::co_spawn(state->strand, detail::store_shared(std::move(body), out),
                   asio::bind_cancellation_slot(state->signal.slot(), std::move(completion)));
    return TaskHandle(state);
}

// ---- racing against a cancel signal -------------------------------------

// A one-shot signal that any thread may fire; once fired it stays fired.
class CancelSignal {
public:
    template <class Executor>
    explicit CancelSignal(const Executor& ex) : channel_(ex, 1) {}

    void fire() noexcept;
    bool fired() const noexcept { return fired_.load(); }
    // Completes when the signal has fired; honours cancellation.
    asio::awaitable<void> wait();

private:
    std::atomic<bool> fired_{false};
    asio::experimental::concurrent_channel<void(asio::error_code, bool)> channel_;  // (error_code) alone is ambiguous in this Asio
};

struct Cancelled {};

template <class T>
using Raced = std::expected<T, Cancelled>;

namespace detail {

template <class T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
};

template <class T>
asio::awaitable<Outcome<T>> capture(asio::awaitable<T> body) {
    Outcome<T> o;
    try {
        o.value.emplace(co_await std::move(body));
    } catch (...) {
        o.error = std::current_exception();
    }
    co_return o;
}

}  // namespace detail

// The body's value, or Cancelled when the signal fires first. The body is
// then abandoned at its current waiting point (its pending operation is
// cancelled and the race waits for that, so it must honour cancellation).
// An exception from the body propagates.
template <class T>
asio::awaitable<Raced<T>> race_cancel(asio::awaitable<T> body, std::shared_ptr<CancelSignal> signal) {
    using namespace asio::experimental::awaitable_operators;
    if (signal->fired()) co_return std::unexpected(Cancelled{});
    // The body never throws inside the race: a failed side would make the
    // race wait for the other one, here the signal.
    auto r = co_await (detail::capture(std::move(body)) || signal->wait());
    if (r.index() == 1) co_return std::unexpected(Cancelled{});
    auto& outcome = std::get<0>(r);
    if (outcome.error) std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
}

// ---- driving a task from outside ----------------------------------------

namespace detail {

template <class T>
struct BlockOnState final : Runtime::Watcher {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<JobResult<T>> result;
    bool stopped = false;

    void runtime_stopped() noexcept override {
        std::lock_guard lock(mutex);
        stopped = true;
        cv.notify_all();
    }
};

}  // namespace detail

// Runs body on rt and waits on the calling thread (which must not be one of
// rt's workers) for its outcome. Returns Panicked at once if rt is or gets
// shut down before the body ends.
template <class T>
JobResult<T> block_on(Runtime& rt, asio::awaitable<T> body) {
    if (rt.on_worker_thread())
        return std::unexpected(JobError::panicked("block_on called from a worker of the same runtime"));
    auto state = std::make_shared<detail::BlockOnState<T>>();
    if (!rt.watch(state)) return std::unexpected(JobError::panicked("runtime is shut down"));
    spawn(rt, std::move(body), [state](JobResult<T> r) {
        std::lock_guard lock(state->mutex);
        state->result.emplace(std::move(r));
        state->cv.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->result.has_value() || state->stopped; });
    std::optional<JobResult<T>> result = std::move(state->result);
    lock.unlock();
    rt.unwatch(state);
    if (result) return std::move(*result);
    return std::unexpected(JobError::panicked("runtime is shut down"));
}

}  // namespace vantorel::rt
