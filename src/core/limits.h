// An engine's shared memory of statement lengths, in UTF-16 code units.
// One instance per engine, read and updated by every bulk operation of it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace vantorel {

class StatementLimits {
public:
    // A configured limit of 0 means none.
    explicit StatementLimits(std::uint64_t configured_units)
        : configured_(configured_units == 0 ? std::nullopt : std::optional<std::uint64_t>(configured_units)) {}

    StatementLimits(const StatementLimits&) = delete;
    StatementLimits& operator=(const StatementLimits&) = delete;

    // Fixed at creation; needs no lock.
    std::optional<std::uint64_t> configured() const noexcept { return configured_; }

    std::optional<std::uint64_t> longest_success() const {
        std::lock_guard lock(mutex_);
        return longest_success_;
    }
    std::optional<std::uint64_t> shortest_too_long() const {
        std::lock_guard lock(mutex_);
        return shortest_too_long_;
    }
    void set_longest_success(std::optional<std::uint64_t> units) {
        std::lock_guard lock(mutex_);
        longest_success_ = units;
    }
    void set_shortest_too_long(std::optional<std::uint64_t> units) {
        std::lock_guard lock(mutex_);
        shortest_too_long_ = units;
    }

private:
    const std::optional<std::uint64_t> configured_;
    mutable std::mutex mutex_;
    std::optional<std::uint64_t> longest_success_;
    std::optional<std::uint64_t> shortest_too_long_;
};

}  // namespace vantorel
