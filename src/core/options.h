// The tunables of an engine, read by the core without Python.
#pragma once

#include <cstdint>
#include <string>

namespace vantorel {

struct EngineOptions {
    std::uint64_t pool_size = 4;
    std::uint32_t login_timeout = 0;
    std::uint32_t query_timeout = 0;
    std::uint64_t batch_size = 1000;
    std::uint64_t max_workers = 4;
    std::uint64_t min_rows_per_worker = 500;
    std::uint64_t merge_chunk_size = 7000;
    std::uint64_t merge_max_workers = 3;
    std::uint64_t stream_batch_size = 5000;
    std::uint64_t prefetch_batches = 2;
    std::uint64_t max_statement_units = 16000;
    std::string decimal_mode = "decimal";
    bool strip_char_padding = true;
};

}  // namespace vantorel
