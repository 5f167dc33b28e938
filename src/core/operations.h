// Operation bodies, written once and run by both engines: the asynchronous
// one awaits them on the process-wide runtime, the blocking one drives the
// same coroutine on its own runtime.
#pragma once

#include <asio/awaitable.hpp>

#include <memory>
#include <string>
#include <type_traits>

#include "core/chunk_pipe.h"
#include "core/pool.h"
#include "runtime/blocking.h"

namespace vantorel::ops {

// Acquires a lease, then runs fn(lease) on a blocking thread. The job owns
// the lease: when the wait for it is abandoned the statement still runs to
// its end and the connection returns to the pool afterwards.
template <class F>
auto with_lease(std::shared_ptr<Engine> engine, F fn) -> asio::awaitable<std::invoke_result_t<F&, Lease&>> {
    Result<Lease> acquired = co_await engine->acquire();
    if (!acquired) co_return std::unexpected(std::move(acquired.error()));
    // Named before co_await: g++ 12 mishandles a capturing lambda written
    // inside a co_await expression.
    auto work = [lease = std::move(*acquired), fn = std::move(fn)]() mutable { return fn(lease); };
    auto job = co_await rt::run_blocking(std::move(work));
    co_return rt::flatten(std::move(job));
}

inline asio::awaitable<Result<std::int64_t>> execute(std::shared_ptr<Engine> engine, std::u16string sql,
                                                     Params params) {
    return with_lease(std::move(engine), [sql = std::move(sql), params = std::move(params)](Lease& lease) mutable {
        return lease.execute(sql, std::move(params));
    });
}

// Runs a query on a blocking thread and hands its rows to `pipe` in chunks
// of `chunk_rows`, so that the consumer converts one chunk while the next is
// fetched. The caller closes the pipe with the outcome.
inline asio::awaitable<Result<void>> query_into(std::shared_ptr<Engine> engine, std::u16string sql, Params params,
                                                std::shared_ptr<ChunkPipe> pipe, std::uint64_t chunk_rows) {
    return with_lease(std::move(engine), [sql = std::move(sql), params = std::move(params), pipe = std::move(pipe),
                                          chunk_rows](Lease& lease) mutable -> Result<void> {
        auto cursor = lease.query_cursor(sql, std::move(params));
        if (!cursor) return std::unexpected(std::move(cursor.error()));
        pipe->set_columns(cursor->columns());
        for (;;) {
            Batch chunk = pipe->spare();
            auto fetched = cursor->fetch_batch_into(chunk_rows, chunk);
            if (!fetched) return std::unexpected(std::move(fetched.error()));
            if (chunk.empty()) return {};
            if (!pipe->put(std::move(chunk))) return {};  // the consumer has gone
        }
    });
}

// Creating the engine touches the ODBC environment: a blocking thread's job.
inline asio::awaitable<Result<std::shared_ptr<Engine>>> open_engine(SecretString connection_string,
                                                                   EngineOptions options) {
    auto create = [cs = std::move(connection_string), options = std::move(options)]() mutable {
        return Engine::create(std::move(cs), options);
    };
    auto job = co_await rt::run_blocking(std::move(create));
    co_return rt::flatten(std::move(job));
}

}  // namespace vantorel::ops
