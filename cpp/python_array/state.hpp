// export_state / load_state of every class: the estimator's state in the one versioned
// binary format (docs/state_format.md), the object's n_jobs included.
#pragma once

#include <span>

#include "estimators/state.hpp"
#include "python_array/binding.hpp"

namespace canopy::pyarray {

// export_state() -> bytes, read under the shared lock like any query.
template <class Est>
nb::bytes export_state(Box<Est>& b) {
    const std::optional<std::int64_t> n_jobs = b.n_jobs;
    const StateBytes bytes =
        run<Access::Shared>(b, CallOptions{}, [&](Est& e) { return save_state(e, n_jobs); });
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// load_state(data) -> a new object; ValueError for anything that is not a complete, intact
// state of this class. The bytes object is immutable, so it is read without the lock.
template <class Est>
Box<Est>* load_state_object(const nb::bytes& data) {
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.data()),
                                              data.size());
    std::optional<Restored<Est>> restored;
    {
        nb::gil_scoped_release unlocked;
        restored.emplace(canopy::load_state<Est>(bytes));
    }
    return new Box<Est>(std::move(restored->estimator), restored->n_jobs);
}

inline constexpr const char* kExportStateDoc =
    "The configuration and fitted state as bytes of the canopy state format; load_state "
    "rebuilds an object that gives bit-identical results.";
inline constexpr const char* kLoadStateDoc =
    "A new object from export_state's bytes. ValueError when the bytes are not a complete, "
    "intact state of this class (another class's, a newer format, truncated or corrupted).";

}  // namespace canopy::pyarray
