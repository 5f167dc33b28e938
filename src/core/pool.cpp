#include "core/pool.h"

#include <algorithm>
#include <vector>

#include "core/odbc/env.h"
#include "runtime/blocking.h"

namespace vantorel {

namespace {

CoreError closed_error() { return CoreError::connect("Pool has been closed"); }

}  // namespace

// ---- ConnManager --------------------------------------------------------

Result<odbc::RawConnection> ConnManager::connect() const {
    auto conn = odbc::RawConnection::open(connection_string_, login_timeout_);
    if (!conn) return std::unexpected(CoreError::connect("Error occurred while creating a new object: " +
                                                         conn.error().display()));
    return conn;
}

// ---- Lease --------------------------------------------------------------

Lease& Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        reset();
        engine_ = std::move(other.engine_);
        conn_ = std::move(other.conn_);
    }
    return *this;
}

void Lease::reset() noexcept {
    if (!engine_) {
        conn_.close();
        return;
    }
    // The engine stays alive through this call: we hold it until the end.
    std::shared_ptr<Engine> engine = std::move(engine_);
    engine->finish_lease(std::move(conn_), false);
}

odbc::RawConnection Lease::take_connection() noexcept {
    odbc::RawConnection conn = std::move(conn_);
    if (engine_) {
        std::shared_ptr<Engine> engine = std::move(engine_);
        engine->finish_lease(odbc::RawConnection(), static_cast<bool>(conn));
    }
    return conn;
}

Result<std::int64_t> Lease::execute(std::u16string_view sql, Params params) {
    return execute_on(conn_.handle(), sql, std::move(params));
}

Result<QueryResult> Lease::query(std::u16string_view sql, Params params) {
    return query_on(conn_.handle(), sql, std::move(params));
}

Result<RowCursor> Lease::query_cursor(std::u16string_view sql, Params params) {
    return query_cursor_on(conn_.handle(), sql, std::move(params));
}

// ---- Engine -------------------------------------------------------------

// One acquire waiting for a place. state is guarded by the engine's mutex:
// whoever moves it away from Pending (a returned place, the timer, a
// cancellation, close) is the only one to complete the waiter.
struct Engine::Waiter {
    enum class State : std::uint8_t { Pending, Granted, Abandoned };
    State state = State::Pending;
    std::shared_ptr<rt::Completion<WaitEnd, Lease>> completion;
};

Engine::Engine(ConnManager manager, std::size_t max_size, std::uint64_t max_statement_units)
    : manager_(std::move(manager)),
      limits_(max_statement_units),
      configured_max_(max_size),
      max_(max_size) {}

Engine::~Engine() = default;

Result<std::shared_ptr<Engine>> Engine::create(SecretString connection_string, const EngineOptions& options) {
    if (auto env = odbc::environment(); !env) return std::unexpected(env.error());
    const std::size_t max_size = std::max<std::uint64_t>(options.pool_size, 1);
    return std::shared_ptr<Engine>(new Engine(ConnManager(std::move(connection_string), options.login_timeout),
                                              max_size, options.max_statement_units));
}

void Engine::enqueue(const std::shared_ptr<Waiter>& waiter) {
    Lease granted;
    WaitEnd end = WaitEnd::Granted;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            waiter->state = Waiter::State::Abandoned;
            end = WaitEnd::Closed;
        } else if (waiters_.empty() && in_use_ < max_) {
            // Nobody is ahead: take a place without queueing.
            waiter->state = Waiter::State::Granted;
            ++in_use_;
            granted = Lease(shared_from_this());
        } else {
            waiters_.push_back(waiter);
            return;
        }
    }
    waiter->completion->complete(end, std::move(granted));
}

void Engine::abandon(const std::shared_ptr<Waiter>& waiter, WaitEnd why) {
    {
        std::lock_guard lock(mutex_);
        if (waiter->state != Waiter::State::Pending) return;  // already granted: the grant stands
        waiter->state = Waiter::State::Abandoned;
        auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
        if (it != waiters_.end()) waiters_.erase(it);
    }
    waiter->completion->complete(why, Lease());
}

asio::awaitable<std::tuple<Engine::WaitEnd, Lease>> Engine::wait_for_place() {
    auto self = shared_from_this();
    return asio::async_initiate<decltype(asio::use_awaitable), void(WaitEnd, Lease)>(
        [self](auto handler) {
            auto waiter = std::make_shared<Waiter>();
            waiter->completion = rt::Completion<WaitEnd, Lease>::make(std::move(handler));
            std::weak_ptr<Engine> weak_engine = self;
            std::weak_ptr<Waiter> weak_waiter = waiter;
            auto abandon = [weak_engine, weak_waiter](WaitEnd why) {
                auto engine = weak_engine.lock();
                auto w = weak_waiter.lock();
                if (engine && w) engine->abandon(w, why);
            };
            // Everything that touches the timer is set up here, on the
            // awaiting coroutine's thread, before any other thread can see
            // the waiter; the timer is cancelled there too, on delivery.
            auto timer = std::make_shared<asio::steady_timer>(waiter->completion->executor(), kWaitLimit);
            timer->async_wait([abandon](const asio::error_code& ec) {
                if (!ec) abandon(WaitEnd::TimedOut);
            });
            waiter->completion->on_deliver([timer] { timer->cancel(); });
            waiter->completion->on_cancel([abandon] { abandon(WaitEnd::Cancelled); });
            self->enqueue(waiter);
        },
        asio::use_awaitable);
}

Result<std::optional<odbc::RawConnection>> Engine::take_idle() {
    std::lock_guard lock(mutex_);
    if (closed_) return std::unexpected(closed_error());
    if (idle_.empty()) return std::optional<odbc::RawConnection>();
    odbc::RawConnection conn = std::move(idle_.front());
    idle_.pop_front();
    return std::optional<odbc::RawConnection>(std::move(conn));
}

void Engine::adopt(Lease& lease, odbc::RawConnection conn) {
    std::lock_guard lock(mutex_);
    ++size_;
    lease.conn_ = std::move(conn);
}

void Engine::forget_dead(Lease& lease) noexcept {
    lease.conn_.close();
    std::lock_guard lock(mutex_);
    --size_;
}

void Engine::finish_lease(odbc::RawConnection conn, bool taken) noexcept {
    std::shared_ptr<Waiter> next;
    std::vector<std::shared_ptr<Waiter>> stale;  // released outside the lock
    odbc::RawConnection to_close;
    {
        std::lock_guard lock(mutex_);
        --in_use_;
        if (taken) --size_;
        if (conn) {
            if (closed_ || size_ > max_) {
                --size_;
                to_close = std::move(conn);
            } else {
                idle_.push_back(std::move(conn));
            }
        }
        // One place came free: it goes to the first waiter still waiting.
        while (!waiters_.empty() && in_use_ < max_) {
            std::shared_ptr<Waiter> w = std::move(waiters_.front());
            waiters_.pop_front();
            if (w->state != Waiter::State::Pending) {
                stale.push_back(std::move(w));
                continue;
            }
            w->state = Waiter::State::Granted;
            ++in_use_;
            next = std::move(w);
            break;
        }
    }
    to_close.close();
    if (next) {
        // The engine is alive: the caller holds a reference through this call.
        next->completion->complete(WaitEnd::Granted, Lease(shared_from_this()));
    }
}

asio::awaitable<Result<Lease>> Engine::acquire() {
    // The reference is taken now, not when the coroutine first runs: the
    // caller's may be gone by then.
    return acquire_with(shared_from_this());
}

asio::awaitable<Result<Lease>> Engine::acquire_with(std::shared_ptr<Engine> self) {
    auto [end, lease] = co_await self->wait_for_place();
    switch (end) {
        case WaitEnd::Granted: break;
        case WaitEnd::TimedOut: co_return std::unexpected(CoreError::pool_timeout());
        case WaitEnd::Closed: co_return std::unexpected(closed_error());
        case WaitEnd::Cancelled: throw asio::system_error(asio::error::operation_aborted);
    }

    // Jobs are named before co_await: g++ 12 destroys a capturing lambda
    // written inside a co_await expression twice.
    // Oldest idle first; a connection the driver reports dead is dropped and
    // the next one tried. The blocking jobs own the lease, so a cancelled
    // acquire gives back whatever the job ends up holding.
    for (;;) {
        auto idle = self->take_idle();
        if (!idle) co_return std::unexpected(idle.error());
        if (!*idle) break;
        lease.conn_ = std::move(**idle);
        auto check = [l = std::move(lease)]() mutable {
            if (l.conn_.is_dead()) l.engine_->forget_dead(l);
            return std::move(l);
        };
        auto checked = co_await rt::run_blocking(std::move(check));
        if (!checked) {
            if (checked.error().is_cancelled()) throw asio::system_error(asio::error::operation_aborted);
            co_return std::unexpected(rt::job_failure(checked.error()));
        }
        lease = std::move(*checked);
        if (lease) co_return std::move(lease);
    }

    auto open = [l = std::move(lease)]() mutable -> Result<Lease> {
        auto conn = l.engine_->manager_.connect();
        if (!conn) return std::unexpected(std::move(conn.error()));
        l.engine_->adopt(l, std::move(*conn));
        return std::move(l);
    };
    auto opened = co_await rt::run_blocking(std::move(open));
    if (!opened) {
        if (opened.error().is_cancelled()) throw asio::system_error(asio::error::operation_aborted);
        co_return std::unexpected(rt::connect_job_failure(opened.error()));
    }
    co_return std::move(*opened);
}

Result<Lease> Engine::acquire_blocking() { return rt::flatten(rt::run_here(acquire())); }

void Engine::close() noexcept {
    std::deque<odbc::RawConnection> idle;
    std::deque<std::shared_ptr<Waiter>> waiters;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        max_ = 0;
        idle.swap(idle_);
        size_ -= idle.size();
        waiters.swap(waiters_);
        for (auto& w : waiters) {
            if (w->state == Waiter::State::Pending)
                w->state = Waiter::State::Abandoned;
            else
                w.reset();
        }
    }
    idle.clear();  // SQLDisconnect and SQLFreeHandle, outside the lock
    for (auto& w : waiters)
        if (w) w->completion->complete(WaitEnd::Closed, Lease());
}

bool Engine::is_closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::size_t Engine::size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

std::size_t Engine::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::size_t Engine::leased_count() const {
    std::lock_guard lock(mutex_);
    return in_use_;
}

std::size_t Engine::waiting_count() const {
    std::lock_guard lock(mutex_);
    return waiters_.size();
}

}  // namespace vantorel
