#include "runtime/runtime.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace vantorel::rt {

// ---- ElasticPool --------------------------------------------------------

struct ElasticPool::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::move_only_function<void()>> queue;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool closed = false;
    std::size_t max_threads;
    std::chrono::milliseconds idle_timeout;
};

ElasticPool::ElasticPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout)
    : state_(std::make_shared<State>()) {
    state_->max_threads = std::max<std::size_t>(max_threads, 1);
    state_->idle_timeout = idle_timeout;
}

ElasticPool::~ElasticPool() { shutdown(); }

bool ElasticPool::submit(std::move_only_function<void()>& job) {
    std::unique_lock lock(state_->mutex);
    if (state_->closed) return false;
    state_->queue.push_back(std::move(job));
    // Every queued job beyond the idle threads gets a thread of its own, so
    // a slow job never delays the next one while there is room.
    if (state_->queue.size() > state_->idle && state_->threads < state_->max_threads) {
        try {
            std::thread(&ElasticPool::worker, state_).detach();
            ++state_->threads;
        } catch (const std::system_error&) {
            if (state_->threads == 0) {
                // Nobody would ever run it: hand the job back.
                job = std::move(state_->queue.back());
                state_->queue.pop_back();
                return false;
            }
            // A running thread will get to it.
        }
    }
    state_->cv.notify_one();
    return true;
}

void ElasticPool::worker(std::shared_ptr<State> state) {
    pthread_setname_np(pthread_self(), "vantorel-blk");
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (!state->queue.empty()) {
            auto job = std::move(state->queue.front());
            state->queue.pop_front();
            lock.unlock();
            job();  // jobs catch their own exceptions
            job = nullptr;
            lock.lock();
            continue;
        }
        if (state->closed) break;
        ++state->idle;
        const bool woken = state->cv.wait_for(lock, state->idle_timeout,
                                              [&] { return !state->queue.empty() || state->closed; });
        --state->idle;
        if (!woken) break;
    }
    --state->threads;
}

void ElasticPool::shutdown() noexcept {
    std::deque<std::move_only_function<void()>> dropped;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        dropped.swap(state_->queue);
        state_->cv.notify_all();
    }
    // Destroyed outside the lock: a dropped job releases what it owns.
    dropped.clear();
}

std::size_t ElasticPool::thread_count() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

std::size_t ElasticPool::max_threads() const noexcept { return state_->max_threads; }

// ---- Runtime ------------------------------------------------------------

Runtime::Runtime(const RuntimeConfig& config)
    : io_(std::make_shared<asio::io_context>(static_cast<int>(std::max<std::size_t>(config.workers, 1)))),
      blocking_(std::make_shared<ElasticPool>(config.max_blocking_threads, config.blocking_idle_timeout)) {
    asio::make_service<RuntimeService>(*io_, std::weak_ptr<void>(io_), blocking_);
    guard_.emplace(io_->get_executor());
}

std::optional<std::string> Runtime::start(std::size_t workers) {
    workers = std::max<std::size_t>(workers, 1);
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        try {
            // Each worker owns a share of the context: a worker detached at
            // shutdown may still be returning from run().
            workers_.emplace_back([io = io_] {
                pthread_setname_np(pthread_self(), "vantorel-rt");
                for (;;) {
                    try {
                        io->run();
                        return;
                    } catch (...) {
                        // A handler threw; keep serving the others.
                    }
                }
            });
            worker_ids_.push_back(workers_.back().get_id());
        } catch (const std::system_error& e) {
            shutdown();
            return e.code().message();
        }
    }
    return std::nullopt;
}

std::expected<std::shared_ptr<Runtime>, std::string> Runtime::create(std::size_t workers) {
    RuntimeConfig config;
    config.workers = workers;
    return create(config);
}

std::expected<std::shared_ptr<Runtime>, std::string> Runtime::create(const RuntimeConfig& config) {
    std::shared_ptr<Runtime> rt;
    try {
        rt.reset(new Runtime(config));
    } catch (const std::system_error& e) {
        return std::unexpected(e.code().message());
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    if (auto failure = rt->start(config.workers)) return std::unexpected(std::move(*failure));
    return rt;
}

std::expected<std::shared_ptr<Runtime>, std::string> Runtime::process() {
    // Allocated once and never destroyed: joining threads from a static
    // destructor at interpreter exit can deadlock.
    static auto* cell = [] {
        const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
        return new std::expected<std::shared_ptr<Runtime>, std::string>(create(cpus));
    }();
    return *cell;
}

Runtime::~Runtime() { shutdown(); }

bool Runtime::on_worker_thread() const noexcept {
    const auto me = std::this_thread::get_id();
    return std::find(worker_ids_.begin(), worker_ids_.end(), me) != worker_ids_.end();
}

void Runtime::shutdown() noexcept {
    if (stopped_.exchange(true)) return;
    std::unordered_set<std::shared_ptr<Watcher>> watchers;
    {
        std::lock_guard lock(mutex_);
        watchers.swap(watchers_);
    }
    guard_.reset();
    io_->stop();
    blocking_->shutdown();
    const auto me = std::this_thread::get_id();
    for (auto& t : workers_) {
        if (!t.joinable()) continue;
        if (t.get_id() == me)
            t.detach();
        else
            t.join();
    }
    for (const auto& w : watchers) w->runtime_stopped();
}

bool Runtime::watch(const std::shared_ptr<Watcher>& w) {
    std::lock_guard lock(mutex_);
    if (stopped_.load()) return false;
    watchers_.insert(w);
    return true;
}

void Runtime::unwatch(const std::shared_ptr<Watcher>& w) {
    std::lock_guard lock(mutex_);
    watchers_.erase(w);
}

// ---- TaskHandle ---------------------------------------------------------

void TaskHandle::abort() const {
    if (!state_) return;
    state_->abort_requested.store(true);
    asio::post(state_->strand, [state = state_] {
        if (!state->finished) state->signal.emit(asio::cancellation_type::terminal);
    });
}

// ---- CancelSignal -------------------------------------------------------

void CancelSignal::fire() noexcept {
    if (fired_.exchange(true)) return;
    channel_.try_send(asio::error_code{}, true);
}

asio::awaitable<void> CancelSignal::wait() {
    if (fired_.load()) co_return;
    co_await channel_.async_receive(asio::use_awaitable);
    // Put it back: the signal stays fired for every later wait.
    channel_.try_send(asio::error_code{}, true);
}

}  // namespace vantorel::rt
