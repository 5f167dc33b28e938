// Rows handed from the blocking thread that fetches them to the thread that
// converts them, a chunk at a time, so fetching and converting overlap and
// the two sides recycle the same few chunks instead of holding the whole
// result twice.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/types.h"

namespace vantorel {

class ChunkPipe {
public:
    struct End {};
    using Item = std::variant<Batch, End, CoreError>;

    explicit ChunkPipe(std::size_t depth) : depth_(depth == 0 ? 1 : depth) {}

    // A consumer that is not waiting in get() learns of a chunk or of the end
    // through this call, made on the producer's thread outside the lock.
    void set_listener(std::function<void()> listener) {
        std::lock_guard lock(mutex_);
        listener_ = std::make_shared<std::function<void()>>(std::move(listener));
    }
    void clear_listener() {
        std::lock_guard lock(mutex_);
        listener_.reset();
    }

    // ---- producer (a blocking thread) ----
    void set_columns(std::vector<ColumnMeta> columns) {
        std::lock_guard lock(mutex_);
        columns_ = std::move(columns);
    }
    // A chunk the consumer gave back, or an empty one.
    Batch spare() {
        std::lock_guard lock(mutex_);
        if (spares_.empty()) return {};
        Batch chunk = std::move(spares_.back());
        spares_.pop_back();
        return chunk;
    }
    // Waits for room; false once the consumer has gone.
    bool put(Batch chunk) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return abandoned_ || ready_.size() < depth_; });
        if (abandoned_) return false;
        ready_.push_back(std::move(chunk));
        auto listener = listener_;
        lock.unlock();
        arrived_.notify_one();
        if (listener) (*listener)();
        return true;
    }
    // The end of the result, or the error that ended it. The first call counts.
    void close(std::optional<CoreError> error) {
        std::shared_ptr<std::function<void()>> listener;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            closed_ = true;
            error_ = std::move(error);
            listener = listener_;
        }
        arrived_.notify_one();
        if (listener) (*listener)();
    }

    // ---- consumer ----
    // Waits for the next chunk; after the last one, End or the error.
    Item get() {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [&] { return !ready_.empty() || closed_; });
        if (!ready_.empty()) {
            Batch chunk = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            room_.notify_one();
            return chunk;
        }
        if (error_) return *error_;
        return End{};
    }
    // The next item if there is one, without waiting.
    std::optional<Item> try_get() {
        std::unique_lock lock(mutex_);
        if (!ready_.empty()) {
            Batch chunk = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            room_.notify_one();
            return Item(std::move(chunk));
        }
        if (!closed_) return std::nullopt;
        if (error_) return Item(*error_);
        return Item(End{});
    }
    // Valid once get() has returned a chunk or End.
    const std::vector<ColumnMeta>& columns() const noexcept { return columns_; }
    void recycle(Batch chunk) {
        std::lock_guard lock(mutex_);
        if (spares_.size() < depth_ + 1) spares_.push_back(std::move(chunk));
    }
    // The consumer stops taking chunks: the producer's next put fails.
    void abandon() {
        {
            std::lock_guard lock(mutex_);
            abandoned_ = true;
            ready_.clear();
        }
        room_.notify_all();
    }

private:
    const std::size_t depth_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable room_;
    std::deque<Batch> ready_;
    std::vector<Batch> spares_;
    std::vector<ColumnMeta> columns_;
    std::shared_ptr<std::function<void()>> listener_;
    std::optional<CoreError> error_;
    bool closed_ = false;
    bool abandoned_ = false;
};

}  // namespace vantorel
