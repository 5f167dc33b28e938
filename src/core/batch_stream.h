// Result streams: a SELECT read in batches over one leased connection.
//
// The asynchronous stream keeps a prefetch task on a runtime that fetches
// ahead of the consumer into a bounded channel and can cancel the running
// statement; the blocking stream fetches one batch per step. Neither sees
// Python: batches leave here as rows of ColumnValues.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cursor.h"
#include "core/error.h"
#include "core/pool.h"
#include "runtime/runtime.h"

namespace vantorel::stream {

// An executed SELECT and the lease it runs on. The cursor is declared after
// the lease so that it goes first: its statement is freed while the
// connection is still ours.
struct OpenCursor {
    Lease lease;
    RowCursor cursor;
};

// Acquires a lease and runs the query on a blocking thread. An abandoned
// wait leaves the job to free what it opened.
asio::awaitable<Result<OpenCursor>> open_cursor(std::shared_ptr<Engine> engine, std::u16string sql, Params params);

struct Settings {
    std::uint64_t batch_size = 5000;
    std::uint64_t prefetch_batches = 2;
    std::uint32_t query_timeout = 0;  // seconds to wait for a batch; 0 = no limit
};

// What the prefetch task and the consumer share. Each item is a batch or
// the error of one fetch; a batch with no rows is the last item.
struct Channels {
    using Item = Result<Batch>;
    // (error_code, bool) rather than (error_code) alone: the latter is
    // ambiguous in this Asio.
    using BatchChannel = asio::experimental::concurrent_channel<void(asio::error_code, Item)>;
    using SignalChannel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

    Channels(const rt::Runtime::executor_type& ex, std::size_t capacity) : batches(ex, capacity), signal(ex, 1) {}

    BatchChannel batches;
    SignalChannel signal;  // a cancel request, or closed when the stream is gone

    // A batch the consumer has converted, given back so that the next fetch
    // reuses its rows' storage instead of allocating every cell again.
    void recycle(Batch batch) {
        Batch older;  // freed outside the lock
        std::lock_guard lock(spare_mutex);
        older = std::exchange(spare, std::move(batch));
    }
    Batch take_spare() {
        std::lock_guard lock(spare_mutex);
        return std::move(spare);
    }
    std::mutex spare_mutex;
    Batch spare;

    std::atomic<bool> cancel_requested{false};
    std::atomic<bool> abandoned{false};

    // A failure of the task itself, reported once to the consumer.
    std::mutex failure_mutex;
    std::optional<CoreError> failure;
};

// One __anext__ call. Its caller marks it abandoned when the call's future
// is cancelled: if it holds the receiving end at that moment, a following
// call waits for it to be given back instead of ending the stream.
struct NextCall {
    std::atomic<bool> abandoned{false};
};

// The consumer's side of an asynchronous stream. Destroying it (the last
// reference: the Python object or an __anext__ still running) closes both
// channels, which the prefetch task takes as a cancel.
class AsyncBatchStream {
public:
    // Starts the prefetch task on rt; fetching begins at once.
    static std::shared_ptr<AsyncBatchStream> start(rt::Runtime& rt, OpenCursor opened, const Settings& settings);

    ~AsyncBatchStream();
    AsyncBatchStream(const AsyncBatchStream&) = delete;
    AsyncBatchStream& operator=(const AsyncBatchStream&) = delete;

    const std::vector<ColumnMeta>& columns() const noexcept { return columns_; }
    bool cancelled() const noexcept { return cancelled_.load(); }
    // Hands a converted batch back for the next fetch to reuse. Any thread.
    void recycle(Batch batch) { channels_->recycle(std::move(batch)); }

    // Asks the task to cancel the statement and dispose of its connection.
    // Any thread; a repeated call does nothing more.
    void cancel() noexcept;
    // Stops the task without a statement cancel: the connection returns to
    // the pool once a fetch still running has ended. Any thread.
    void close() noexcept;

    // The next non-empty batch, nullopt at the end, or the error the task
    // met (the stream stays usable after an error and after a timeout).
    // While another live call waits for a batch, this one ends at once.
    static asio::awaitable<Result<std::optional<Batch>>> next(std::shared_ptr<AsyncBatchStream> self,
                                                              std::shared_ptr<NextCall> call);

private:
    AsyncBatchStream(std::shared_ptr<Channels> channels, std::vector<ColumnMeta> columns, std::uint32_t query_timeout,
                     const rt::Runtime::executor_type& ex)
        : channels_(std::move(channels)), columns_(std::move(columns)), query_timeout_(query_timeout),
          given_back_(ex, 1) {}

    class Slot;
    enum class Take : std::uint8_t { Taken, Ended, HeldByLiveCall, HeldByAbandonedCall };
    Take take(const std::shared_ptr<NextCall>& call);
    void give_back(bool end) noexcept;

    struct Received {
        std::optional<Channels::Item> item;  // empty: the channel is closed
    };
    static asio::awaitable<void> receive_into(std::shared_ptr<AsyncBatchStream> self);

    std::shared_ptr<Channels> channels_;
    std::vector<ColumnMeta> columns_;
    std::uint32_t query_timeout_;
    rt::TaskHandle task_;
    std::atomic<bool> cancelled_{false};

    // The receiving end is used by one __anext__ at a time (the slot): busy_
    // while a call holds it, ended_ once it is gone for good. stash_ keeps an
    // item that arrived after its waiter had given up (timeout, abandoned
    // call) and is touched only by the slot's holder.
    std::mutex slot_mutex_;
    bool busy_ = false;
    bool ended_ = false;
    std::shared_ptr<NextCall> holder_;
    Channels::SignalChannel given_back_;  // pinged whenever the slot is released
    std::optional<Received> stash_;
};

// The body of Db2iEngine.stream_batches: opens the cursor, then starts the
// stream's prefetch task on rt.
asio::awaitable<Result<std::shared_ptr<AsyncBatchStream>>> open_async(std::shared_ptr<rt::Runtime> rt,
                                                                       std::shared_ptr<Engine> engine,
                                                                       std::u16string sql, Params params,
                                                                       Settings settings);

// One step of a blocking stream: the pair comes back with the outcome.
struct BlockingStep {
    OpenCursor opened;
    Result<Batch> rows;
};

// Fetches at most n rows on a blocking thread of the awaiting runtime, into
// `spare` (the previous batch, whose rows' storage is reused). The job owns
// the pair, so a runtime that stops under it frees nothing early.
asio::awaitable<rt::JobResult<BlockingStep>> fetch_step(OpenCursor opened, std::uint64_t n, Batch spare);

}  // namespace vantorel::stream
