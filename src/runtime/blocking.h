// Blocking work as an awaitable operation, and the pieces that let code in
// core (the pool) use it without linking the runtime library: everything
// here is header-only.
//
// A coroutine finds the pool of blocking threads through a service attached
// to its execution context. A context without one (the private context of
// run_here) runs the job on the current thread.
#pragma once

#include <asio.hpp>

#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "core/error.h"

namespace vantorel::rt {

// Why a job produced no value.
struct JobError {
    enum class Kind : std::uint8_t { Panicked, Cancelled };
    Kind kind = Kind::Panicked;
    std::string detail;

    static JobError panicked(std::string detail) { return {Kind::Panicked, std::move(detail)}; }
    static JobError cancelled() { return {Kind::Cancelled, "cancelled"}; }
    bool is_cancelled() const noexcept { return kind == Kind::Cancelled; }
};

template <class T>
using JobResult = std::expected<T, JobError>;

// The failure of an operation's blocking job, as the error callers see.
inline CoreError job_failure(const JobError& e) { return CoreError::connect("panic: " + e.detail); }
// The failure of a job that was opening a pooled connection.
inline CoreError connect_job_failure(const JobError& e) {
    return CoreError::connect("panic creando conexion: " + e.detail);
}

// A job result carrying a Result: one error channel for the caller.
template <class T>
Result<T> flatten(JobResult<Result<T>>&& r) {
    if (!r) return std::unexpected(job_failure(r.error()));
    return std::move(*r);
}

// The text of the exception being handled; for use inside a catch block.
inline std::string current_exception_text() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// Where blocking jobs go. Implemented by the runtime's elastic pool.
class BlockingExecutor {
public:
    virtual ~BlockingExecutor() = default;
    // Queues a job. On false (shut down, or no thread could be started) the
    // job is left untouched with the caller.
    virtual bool submit(std::move_only_function<void()>& job) = 0;
};

// Attached to a runtime's io_context: its blocking pool, and a way for
// operations that hold a completion outside the context (a blocking job, a
// pool waiter) to keep the context alive until they have posted it.
class RuntimeService : public asio::execution_context::service {
public:
    using key_type = RuntimeService;
    static inline asio::execution_context::id id;

    explicit RuntimeService(asio::execution_context& ctx) : service(ctx) {}
    RuntimeService(asio::execution_context& ctx, std::weak_ptr<void> owner,
                   std::shared_ptr<BlockingExecutor> blocking)
        : service(ctx), owner_(std::move(owner)), blocking_(std::move(blocking)) {}

    std::shared_ptr<void> keepalive() const noexcept { return owner_.lock(); }
    const std::shared_ptr<BlockingExecutor>& blocking() const noexcept { return blocking_; }

    static RuntimeService* find(asio::execution_context& ctx) {
        if (!asio::has_service<RuntimeService>(ctx)) return nullptr;
        return &asio::use_service<RuntimeService>(ctx);
    }

private:
    void shutdown() override {}

    std::weak_ptr<void> owner_;
    std::shared_ptr<BlockingExecutor> blocking_;
};

template <class Executor>
RuntimeService* runtime_service_of(const Executor& ex) {
    return RuntimeService::find(asio::query(ex, asio::execution::context));
}

// A completion handler taken out of its coroutine so that any thread may
// complete it, at most once. Completing posts the handler to its executor;
// it never runs inline. While pending it keeps outstanding work on the
// executor (so a private run() does not return early) and keeps a runtime's
// context alive.
template <class... Args>
class Completion : public std::enable_shared_from_this<Completion<Args...>> {
public:
    template <class Handler>
    static std::shared_ptr<Completion> make(Handler&& handler) {
        auto c = std::shared_ptr<Completion>(new Completion());
        auto ex = asio::get_associated_executor(handler);
        if (RuntimeService* svc = runtime_service_of(ex)) c->keepalive_ = svc->keepalive();
        c->work_ = asio::prefer(ex, asio::execution::outstanding_work.tracked);
        c->slot_ = asio::get_associated_cancellation_slot(handler);
        c->handler_ = [h = std::forward<Handler>(handler)](Args... args) mutable {
            std::move(h)(std::move(args)...);
        };
        return c;
    }

    ~Completion() {
        // Members go in this order: the handler (which may post its own
        // unwinding to the context), the work, and last the context itself.
        on_deliver_ = nullptr;
        handler_ = nullptr;
        work_ = asio::any_io_executor();
    }

    // Call from the initiating function (the coroutine's thread). on_cancel
    // runs on that thread when the awaiting operation is cancelled.
    void on_cancel(std::move_only_function<void()> fn) {
        if (!slot_.is_connected()) return;
        auto hook = std::make_shared<std::move_only_function<void()>>(std::move(fn));
        std::weak_ptr<Completion> weak = this->weak_from_this();
        slot_.assign([weak, hook](asio::cancellation_type type) {
            if (type == asio::cancellation_type::none) return;
            if (auto self = weak.lock()) {
                if (!self->done()) (*hook)();
            }
        });
    }

    // Runs on the executor right before the handler (e.g. cancel a timer
    // that belongs to the executor's thread). Set before completing.
    void on_deliver(std::move_only_function<void()> fn) { on_deliver_ = std::move(fn); }

    // The awaiting coroutine's executor; read it before completing.
    const asio::any_io_executor& executor() const noexcept { return work_; }

    bool done() const {
        std::lock_guard lock(mutex_);
        return done_;
    }

    // Any thread. false when already completed.
    bool complete(Args... args) {
        std::move_only_function<void(Args...)> handler;
        std::move_only_function<void()> before;
        asio::any_io_executor work;
        std::shared_ptr<void> keepalive;
        {
            std::lock_guard lock(mutex_);
            if (done_) return false;
            done_ = true;
            handler = std::move(handler_);
            before = std::move(on_deliver_);
            work = std::move(work_);
            keepalive = std::move(keepalive_);
        }
        asio::post(work, [slot = slot_, before = std::move(before), handler = std::move(handler),
                          ... args = std::move(args)]() mutable {
            // Clearing here, on the coroutine's thread and after any
            // cancellation handler has returned, is the only safe place.
            slot.clear();
            if (before) before();
            before = nullptr;
            handler(std::move(args)...);
        });
        // The posted handler now counts as work; drop ours, then the context.
        work = asio::any_io_executor();
        keepalive.reset();
        return true;
    }

private:
    Completion() = default;

    mutable std::mutex mutex_;
    bool done_ = false;
    std::shared_ptr<void> keepalive_;
    asio::any_io_executor work_;
    asio::cancellation_slot slot_;
    std::move_only_function<void()> on_deliver_;
    std::move_only_function<void(Args...)> handler_;
};

namespace detail {

template <class F>
auto invoke_job(F& fn) -> JobResult<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    try {
        if constexpr (std::is_void_v<R>) {
            fn();
            return {};
        } else {
            return fn();
        }
    } catch (...) {
        return std::unexpected(JobError::panicked(current_exception_text()));
    }
}

struct initiate_run_blocking {
    template <class Handler, class F>
    void operator()(Handler&& handler, F fn) const {
        using R = std::invoke_result_t<F&>;
        auto completion = Completion<JobResult<R>>::make(std::forward<Handler>(handler));
        std::weak_ptr<Completion<JobResult<R>>> weak = completion;
        // Abandoning the wait completes at once; the job runs on and its
        // result goes nowhere.
        completion->on_cancel([weak] {
            if (auto c = weak.lock()) c->complete(std::unexpected(JobError::cancelled()));
        });
        std::move_only_function<void()> job = [completion, fn = std::optional<F>(std::move(fn))]() mutable {
            auto result = invoke_job(*fn);
            // What the job owns (a lease, say) is released before the
            // awaiting coroutine resumes.
            fn.reset();
            completion->complete(std::move(result));
        };
        RuntimeService* svc = runtime_service_of(completion->executor());
        if (svc == nullptr || !svc->blocking()) {
            job();
            return;
        }
        if (!svc->blocking()->submit(job)) {
            completion->complete(std::unexpected(JobError::panicked("no thread available for blocking work")));
        }
    }
};

}  // namespace detail

// Runs fn on a thread for blocking work and completes with JobResult<R> on
// the awaiting coroutine's executor. fn must own everything it touches: an
// abandoned wait leaves it running on its own.
//
// Bind the job to a named variable and pass std::move(job): g++ 12 destroys
// a capturing lambda written inside a co_await expression twice.
template <class F, class Token = asio::use_awaitable_t<>>
auto run_blocking(F fn, Token&& token = {}) {
    using R = std::invoke_result_t<F&>;
    return asio::async_initiate<Token, void(JobResult<R>)>(detail::initiate_run_blocking{}, token,
                                                            std::move(fn));
}

namespace detail {

template <class T>
asio::awaitable<void> store_into(asio::awaitable<T> body, std::optional<JobResult<T>>& out) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(body);
        out.emplace();
    } else {
        out.emplace(co_await std::move(body));
    }
}

}  // namespace detail

// Drives an awaitable to its end on the current thread with a private
// single-threaded context. For code already running on a thread that may
// block; never call it from inside another executor's handler. Blocking
// jobs of the awaitable run on this thread too.
template <class T>
JobResult<T> run_here(asio::awaitable<T> body) {
    asio::io_context ctx(1);
    std::optional<JobResult<T>> out;
    std::optional<JobError> failure;
    asio::co_spawn(ctx, detail::store_into(std::move(body), out), [&](std::exception_ptr e) {
        if (!e) return;
        try {
            std::rethrow_exception(e);
        } catch (...) {
            failure = JobError::panicked(current_exception_text());
        }
    });
    ctx.run();
    if (out) return std::move(*out);
    if (failure) return std::unexpected(std::move(*failure));
    return std::unexpected(JobError::panicked("task did not finish"));
}

}  // namespace vantorel::rt
