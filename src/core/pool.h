// The engine: a bounded pool of ODBC connections to one system, handed out
// as leases. No lock of the pool is ever held during an ODBC call.
#pragma once

#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <tuple>

#include "core/cursor.h"
#include "core/error.h"
#include "core/limits.h"
#include "core/odbc/handles.h"
#include "core/options.h"
#include "core/secret.h"
#include "core/types.h"

namespace vantorel {

class Engine;

// How the pool makes connections.
class ConnManager {
public:
    ConnManager(SecretString connection_string, std::uint32_t login_timeout)
        : connection_string_(std::move(connection_string)), login_timeout_(login_timeout) {}

    // Blocks: SQLDriverConnectW. The error is the Connect error callers see.
    Result<odbc::RawConnection> connect() const;
    std::uint32_t login_timeout() const noexcept { return login_timeout_; }

private:
    SecretString connection_string_;
    std::uint32_t login_timeout_;
};

// Exclusive use of one pooled connection. Dropping it (on any thread)
// returns the connection to the pool. Keeps its engine alive.
class Lease {
public:
    Lease() noexcept = default;
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { reset(); }

    explicit operator bool() const noexcept { return static_cast<bool>(conn_); }
    SQLHDBC connection() const noexcept { return conn_.handle(); }
    const std::shared_ptr<Engine>& engine() const noexcept { return engine_; }

    // Blocking statement work on the lease's connection.
    Result<std::int64_t> execute(std::u16string_view sql, Params params);
    Result<QueryResult> query(std::u16string_view sql, Params params);
    Result<RowCursor> query_cursor(std::u16string_view sql, Params params);

    // The connection leaves the pool for good and belongs to the caller; the
    // pool's count drops, so a waiter may open a replacement. The lease is
    // empty afterwards.
    odbc::RawConnection take_connection() noexcept;

    // Returns the connection now, as dropping the lease would.
    void reset() noexcept;

private:
    friend class Engine;
    explicit Lease(std::shared_ptr<Engine> engine) noexcept : engine_(std::move(engine)) {}

    // A non-null engine means the lease holds one of the pool's places,
    // whether or not a connection is attached yet.
    std::shared_ptr<Engine> engine_;
    odbc::RawConnection conn_;
};

class Engine : public std::enable_shared_from_this<Engine> {
public:
    static constexpr std::chrono::seconds kWaitLimit{30};

    // Opens no connection. Fails with the environment's Connect error.
    static Result<std::shared_ptr<Engine>> create(SecretString connection_string, const EngineOptions& options);

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

    // Waits at most kWaitLimit for a place, reuses the oldest idle
    // connection that is not dead, or opens one on a blocking thread.
    // Cancelling the awaiting coroutine while it waits takes nothing.
    asio::awaitable<Result<Lease>> acquire();
    // The same, driven on the calling thread (a blocking thread, never a
    // runtime worker); connection work runs on this thread.
    Result<Lease> acquire_blocking();

    // Irreversible and idempotent: idle connections are closed now, leased
    // ones when returned; waiters and later acquires fail.
    void close() noexcept;
    bool is_closed() const;

    const ConnManager& manager() const noexcept { return manager_; }
    StatementLimits& limits() noexcept { return limits_; }

    // Introspection.
    std::size_t max_size() const noexcept { return configured_max_; }
    std::size_t size() const;          // connections that exist (idle and leased)
    std::size_t idle_count() const;
    std::size_t leased_count() const;  // places held by leases and acquires in progress
    std::size_t waiting_count() const;

    // Internal: the wait for a place.
    enum class WaitEnd : std::uint8_t { Granted, TimedOut, Closed, Cancelled };
    struct Waiter;

private:
    friend class Lease;
    Engine(ConnManager manager, std::size_t max_size, std::uint64_t max_statement_units);

    static asio::awaitable<Result<Lease>> acquire_with(std::shared_ptr<Engine> self);
    asio::awaitable<std::tuple<WaitEnd, Lease>> wait_for_place();
    void enqueue(const std::shared_ptr<Waiter>& waiter);
    void abandon(const std::shared_ptr<Waiter>& waiter, WaitEnd why);
    Result<std::optional<odbc::RawConnection>> take_idle();
    void adopt(Lease& lease, odbc::RawConnection conn);
    void forget_dead(Lease& lease) noexcept;
    void finish_lease(odbc::RawConnection conn, bool taken) noexcept;

    ConnManager manager_;
    StatementLimits limits_;
    const std::size_t configured_max_;

    mutable std::mutex mutex_;
    std::size_t max_;           // 0 once closed
    bool closed_ = false;
    std::size_t size_ = 0;      // idle + attached to leases
    std::size_t in_use_ = 0;    // places held
    std::deque<odbc::RawConnection> idle_;
    std::deque<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace vantorel
