// Reading settings from the process environment, and the text helpers that
// go with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/options.h"

namespace vantorel {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Unicode White_Space at both ends removed; the text must be valid UTF-8.
std::string_view trim_white_space(std::string_view text) noexcept;
bool starts_or_ends_with_white_space(std::string_view text) noexcept;

// The value of a variable that is set and holds valid UTF-8. A name that no
// variable can have (empty, or holding "=" or NUL) is never set.
std::optional<std::string> env_text(std::string_view name);

// As env_text, but a value that is blank after trimming counts as absent.
// The value is returned untrimmed.
std::optional<std::string> env_nonblank(std::string_view name);

// An optional "+" and ASCII digits that fit 64 unsigned bits; the text is
// trimmed first. The error names the variable and the trimmed text.
Result<std::uint64_t> parse_unsigned_setting(std::string_view name, std::string_view value);

// Defaults, overridden by BATCH_SIZE, MAX_WORKERS, MIN_ROWS_PER_WORKER,
// MERGE_CHUNK_SIZE, MERGE_MAX_WORKERS, VANTOREL_MAX_STATEMENT_UNITS and
// VANTOREL_POOL_SIZE, read in that order; the first bad value stops.
Result<EngineOptions> engine_options_from_env();

}  // namespace vantorel
