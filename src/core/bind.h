// Binding ParamValues to `?` markers. The buffers handed to the driver must
// outlive the statement; BoundParams owns them and is dropped after it.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/types.h"

namespace vantorel {

// Everything the driver may read for one bound marker. Its address is
// stable for the life of the owning BoundParams.
struct ParamBuffer {
    ParamValue value;  // the text units / bytes / number the driver reads
    SQLLEN indicator = 0;
};

class BoundParams {
public:
    BoundParams() = default;
    BoundParams(BoundParams&&) noexcept = default;
    BoundParams& operator=(BoundParams&&) noexcept = default;
    BoundParams(const BoundParams&) = delete;
    BoundParams& operator=(const BoundParams&) = delete;

    std::size_t size() const noexcept { return buffers_.size(); }
    bool empty() const noexcept { return buffers_.empty(); }

private:
    friend Result<BoundParams> bind_params(SQLHSTMT statement, Params values);
    // Sized once before binding and never grown, so element addresses (and
    // the addresses of short strings stored inside them) stay put; moving
    // the vector moves its heap block, not the elements.
    std::vector<ParamBuffer> buffers_;
};

// Binds every value as an input parameter, in order. Values are moved into
// the buffers, so text goes to the driver without another copy.
Result<BoundParams> bind_params(SQLHSTMT statement, Params values);

// The text form of a value: integers in decimal, floats as their shortest
// round-trip digits without exponent, bytes as lossy UTF-8.
std::optional<std::string> param_value_to_text(const ParamValue* value);

}  // namespace vantorel
