// Error types shared by the engine and the estimators, and the one number formatter
// used in every user-facing message.
#pragma once

#include <stdexcept>
#include <string>

namespace canopy {

// An error of the caller's making (bad input, unfitted model, unsupported operation).
// The binding raises it as ValueError with exactly this message.
struct UserError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A request whose storage cannot be had (checked before the work starts). The binding
// raises it as MemoryError with exactly this message.
struct StorageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A violated invariant or an aborted call. The binding raises it as PanicException.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail_user(const std::string& message);
[[noreturn]] void fail_internal(const std::string& message);

// Shortest decimal text that reads back as the same double, positional notation only:
// 2.0 -> "2", -0.5 -> "-0.5", 1e20 -> "100000000000000000000", NaN -> "NaN", inf -> "inf".
std::string format_float(double value);

// Checked size arithmetic: aborts the call instead of wrapping.
std::size_t checked_mul(std::size_t a, std::size_t b);

}  // namespace canopy
