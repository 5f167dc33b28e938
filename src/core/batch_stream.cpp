#include "core/batch_stream.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/bind_executor.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/channel_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <limits>

#include "core/odbc/diag.h"

namespace vantorel::stream {

namespace {

using namespace asio::experimental::awaitable_operators;
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

// The lease and the cursor of an asynchronous stream, shared by the
// prefetch task and by every fetch job it starts. A fetch whose wait was
// abandoned (stream closed, task stopped) keeps running on its blocking
// thread and keeps this box alive: the lease goes back to the pool only when
// the last holder lets go, so the connection never reaches another lease
// while that fetch still uses it.
struct CursorBox {
    std::mutex mutex;
    bool poisoned = false;  // a fetch threw while holding the mutex
    Lease lease;
    std::optional<RowCursor> cursor;  // declared after the lease: freed first

    ~CursorBox() { cursor.reset(); }
};

enum class TaskEnd : std::uint8_t {
    Finished,      // the last (empty) batch was handed over
    ReceiverGone,  // the stream's channel was closed before a send
    Cancelled,     // statement cancelled, connection disposed of
    Stopped,       // the task was aborted
};

bool wants_cancel(const Channels& ch) { return ch.cancel_requested.load() || ch.abandoned.load(); }

using Fetched = std::optional<rt::JobResult<Result<Batch>>>;

asio::awaitable<void> fetch_into(std::shared_ptr<CursorBox> box, std::shared_ptr<Channels> ch, std::uint64_t n,
                                 Fetched& out) {
    auto job = [box, ch = std::move(ch), n]() -> Result<Batch> {
        std::lock_guard lock(box->mutex);
        if (!box->cursor) return Batch{};
        try {
            Batch rows = ch->take_spare();
            auto fetched = box->cursor->fetch_batch_into(n, rows);
            if (!fetched) return std::unexpected(std::move(fetched.error()));
            return rows;
        } catch (...) {
            box->poisoned = true;
            throw;
        }
    };
    out.emplace(co_await rt::run_blocking(std::move(job)));
}

// Ends on a cancel request or when the stream closed the signal channel.
asio::awaitable<void> wait_signal(std::shared_ptr<Channels> ch) {
    co_await ch->signal.async_receive(kTuple);
}

asio::awaitable<void> send_into(std::shared_ptr<Channels> ch, Channels::Item item, std::optional<asio::error_code>& out) {
    auto [ec] = co_await ch->batches.async_send(asio::error_code{}, std::move(item), kTuple);
    out = ec;
}

// Waits for a running fetch to end (the mutex), cancels the statement,
// frees it, then takes the connection out of the pool and closes it.
asio::awaitable<void> cancel_statement(std::shared_ptr<CursorBox> box) {
    auto job = [box]() {
        odbc::RawConnection connection;
        {
            std::lock_guard lock(box->mutex);
            if (box->cursor && !box->poisoned) {
                const SQLHSTMT statement = box->cursor->statement();
                if (!odbc::succeeded(SQLCancel(statement))) {
                    // Read so the handle's diagnostics are consumed; a failed
                    // cancel changes nothing, the connection goes anyway.
                    (void)odbc::primary_diagnostic(SQL_HANDLE_STMT, statement);
                }
            }
            box->cursor.reset();
            connection = box->lease.take_connection();
        }
        connection.close();
    };
    // Stopping the task while this runs leaves the job to finish on its own.
    co_await rt::run_blocking(std::move(job));
}

// Drops the task's share of the box on a thread for blocking work: the
// last share frees the statement and returns the connection (ODBC calls).
template <class Executor>
void release_box(const Executor& ex, std::shared_ptr<CursorBox> box) {
    auto job = [box = std::move(box)]() mutable { box.reset(); };
    rt::run_blocking(std::move(job), asio::bind_executor(ex, [](rt::JobResult<void>) {}));
}

asio::awaitable<TaskEnd> prefetch(std::shared_ptr<Channels> ch, std::shared_ptr<CursorBox> box, std::uint64_t n) {
    const auto ex = co_await asio::this_coro::executor;
    for (;;) {
        if (wants_cancel(*ch)) break;

        Fetched fetched;
        co_await (fetch_into(box, ch, n, fetched) || wait_signal(ch));
        // The flags, not the race's winner, decide: a signal taken by the
        // losing side of a race is never lost this way.
        if (wants_cancel(*ch)) break;
        if (!fetched || (!*fetched && fetched->error().is_cancelled())) {
            release_box(ex, std::move(box));
            co_return TaskEnd::Stopped;
        }
        Channels::Item item = *fetched ? std::move(**fetched) : Channels::Item(std::unexpected(rt::job_failure(fetched->error())));
        const bool last = item.has_value() && item->empty();

        std::optional<asio::error_code> sent;
        co_await (send_into(ch, std::move(item), sent) || wait_signal(ch));
        if (sent && *sent == asio::experimental::error::channel_closed) {
            release_box(ex, std::move(box));
            co_return TaskEnd::ReceiverGone;
        }
        if (wants_cancel(*ch)) break;
        if (!sent || *sent) {
            release_box(ex, std::move(box));
            co_return TaskEnd::Stopped;
        }
        if (last) {
            release_box(ex, std::move(box));
            co_return TaskEnd::Finished;
        }
    }
    co_await cancel_statement(std::move(box));
    co_return TaskEnd::Cancelled;
}

}  // namespace

asio::awaitable<Result<OpenCursor>> open_cursor(std::shared_ptr<Engine> engine, std::u16string sql, Params params) {
    Result<Lease> acquired = co_await engine->acquire();
    if (!acquired) co_return std::unexpected(std::move(acquired.error()));
    auto job = [lease = std::move(*acquired), sql = std::move(sql),
                params = std::move(params)]() mutable -> Result<OpenCursor> {
        Result<RowCursor> cursor = lease.query_cursor(sql, std::move(params));
        if (!cursor) return std::unexpected(std::move(cursor.error()));
        return OpenCursor{std::move(lease), std::move(*cursor)};
    };
    co_return rt::flatten(co_await rt::run_blocking(std::move(job)));
}

// ---- asynchronous stream -------------------------------------------------

// Holding the receiving end; given back on every path (an __anext__
// abandoned at its waiting point included).
class AsyncBatchStream::Slot {
public:
    explicit Slot(AsyncBatchStream& s) noexcept : s_(s) {}
    ~Slot() {
        if (held_) s_.give_back(ended_);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    void hold() noexcept { held_ = true; }
    // The receiving end is gone for good: later __anext__ calls end at once.
    void end() noexcept { ended_ = true; }

private:
    AsyncBatchStream& s_;
    bool held_ = false;
    bool ended_ = false;
};

AsyncBatchStream::Take AsyncBatchStream::take(const std::shared_ptr<NextCall>& call) {
    std::lock_guard lock(slot_mutex_);
    if (ended_) return Take::Ended;
    if (busy_) return holder_ && holder_->abandoned.load() ? Take::HeldByAbandonedCall : Take::HeldByLiveCall;
    busy_ = true;
    holder_ = call;
    return Take::Taken;
}

void AsyncBatchStream::give_back(bool end) noexcept {
    {
        std::lock_guard lock(slot_mutex_);
        busy_ = false;
        holder_.reset();
        if (end) ended_ = true;
    }
    given_back_.try_send(asio::error_code{}, true);
}

std::shared_ptr<AsyncBatchStream> AsyncBatchStream::start(rt::Runtime& rt, OpenCursor opened, const Settings& settings) {
    const std::uint64_t capacity = std::max<std::uint64_t>(settings.prefetch_batches, 1);
    auto channels = std::make_shared<Channels>(
        rt.executor(), static_cast<std::size_t>(std::min<std::uint64_t>(capacity, std::numeric_limits<std::size_t>::max())));
    auto box = std::make_shared<CursorBox>();
    box->lease = std::move(opened.lease);
    box->cursor.emplace(std::move(opened.cursor));

    std::shared_ptr<AsyncBatchStream> stream(
        new AsyncBatchStream(channels, box->cursor->columns(), settings.query_timeout, rt.executor()));
    stream->task_ = rt::spawn(rt, prefetch(channels, std::move(box), settings.batch_size),
                              [channels](rt::JobResult<TaskEnd> end) {
                                  if (end && *end == TaskEnd::Finished) return;  // the consumer drains what is left
                                  if (!end && !end.error().is_cancelled()) {
                                      std::lock_guard lock(channels->failure_mutex);
                                      channels->failure.emplace(rt::job_failure(end.error()));
                                  }
                                  // Wakes a waiting __anext__; nothing more will come.
                                  channels->batches.close();
                              });
    return stream;
}

AsyncBatchStream::~AsyncBatchStream() {
    given_back_.close();
    channels_->abandoned.store(true);
    channels_->signal.close();
    channels_->batches.close();
}

void AsyncBatchStream::cancel() noexcept {
    cancelled_.store(true);
    channels_->cancel_requested.store(true);
    // A full channel already holds a signal: nothing more to do.
    channels_->signal.try_send(asio::error_code{}, true);
}

void AsyncBatchStream::close() noexcept {
    cancelled_.store(true);
    bool free = false;
    {
        std::lock_guard lock(slot_mutex_);
        if (!busy_) {
            free = true;
            ended_ = true;
            stash_.reset();
        }
    }
    // A call waiting on the channel keeps it; the task's end closes it then.
    if (free) channels_->batches.close();
    given_back_.try_send(asio::error_code{}, true);  // wakes calls waiting for the slot
    task_.abort();
}

asio::awaitable<void> AsyncBatchStream::receive_into(std::shared_ptr<AsyncBatchStream> self) {
    auto [ec, item] = co_await self->channels_->batches.async_receive(kTuple);
    // Stored at once, before any other suspension: an item that comes in
    // while the waiter is being cancelled still reaches a later __anext__.
    if (!ec) {
        self->stash_.emplace(Received{std::move(item)});
    } else if (ec == asio::experimental::error::channel_closed) {
        self->stash_.emplace(Received{std::nullopt});
    }
}

asio::awaitable<Result<std::optional<Batch>>> AsyncBatchStream::next(std::shared_ptr<AsyncBatchStream> self,
                                                                     std::shared_ptr<NextCall> call) {
    Slot slot(*self);
    for (;;) {
        if (self->cancelled_.load()) co_return std::nullopt;
        const Take took = self->take(call);
        if (took == Take::Taken) break;
        if (took != Take::HeldByAbandonedCall) co_return std::nullopt;
        // The holder's future was cancelled: it gives the slot back as soon
        // as its wait unwinds. Ending here would cut the stream short.
        co_await self->given_back_.async_receive(kTuple);
    }
    slot.hold();

    if (!self->stash_) {
        if (self->query_timeout_ == 0) {
            co_await receive_into(self);
        } else {
            asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::seconds(self->query_timeout_));
            co_await (receive_into(self) || timer.async_wait(kTuple));
        }
    }
    if (!self->stash_) {
        co_return std::unexpected(CoreError::interface("stream_batches: timeout de " +
                                                       std::to_string(self->query_timeout_) + "s esperando el lote"));
    }
    Received got = std::move(*self->stash_);
    self->stash_.reset();

    if (!got.item) {  // closed: the end, or the task failed
        slot.end();
        std::optional<CoreError> failure;
        {
            std::lock_guard lock(self->channels_->failure_mutex);
            failure = std::exchange(self->channels_->failure, std::nullopt);
        }
        if (failure && !self->cancelled_.load()) co_return std::unexpected(std::move(*failure));
        co_return std::nullopt;
    }
    if (!*got.item) co_return std::unexpected(std::move(got.item->error()));
    if ((*got.item)->empty()) {
        slot.end();
        co_return std::nullopt;
    }
    co_return std::optional<Batch>(std::move(**got.item));
}

asio::awaitable<Result<std::shared_ptr<AsyncBatchStream>>> open_async(std::shared_ptr<rt::Runtime> rt,
                                                                       std::shared_ptr<Engine> engine,
                                                                       std::u16string sql, Params params,
                                                                       Settings settings) {
    Result<OpenCursor> opened = co_await open_cursor(std::move(engine), std::move(sql), std::move(params));
    if (!opened) co_return std::unexpected(std::move(opened.error()));
    co_return AsyncBatchStream::start(*rt, std::move(*opened), settings);
}

// ---- blocking stream -------------------------------------------------------

asio::awaitable<rt::JobResult<BlockingStep>> fetch_step(OpenCursor opened, std::uint64_t n, Batch spare) {
    auto job = [opened = std::move(opened), n, rows = std::move(spare)]() mutable -> BlockingStep {
        auto fetched = opened.cursor.fetch_batch_into(n, rows);
        if (!fetched) return BlockingStep{std::move(opened), std::unexpected(std::move(fetched.error()))};
        return BlockingStep{std::move(opened), std::move(rows)};
    };
    co_return co_await rt::run_blocking(std::move(job));
}

}  // namespace vantorel::stream
