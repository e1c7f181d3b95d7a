// A value derived from an estimator's fitted model, computed on first use and kept for later
// calls. The owner clears it whenever the model changes (a fit, a load); until then every call
// reads the same value.
//
// Guarantees:
// - get_or_make computes at most once per clear, even when several calling threads ask at the
//   same time (the others wait and then read the value); a computation that throws leaves the
//   cache empty, so the next call tries again.
// - The value is immutable and shared: copies of the owner share it (their models are equal),
//   and a reader keeps its value alive even if the owner clears the cache meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace canopy {

template <class T>
class DerivedCache {
  public:
    DerivedCache() = default;
    DerivedCache(const DerivedCache& other) : value_(other.get()) {}
    DerivedCache& operator=(const DerivedCache& other) {
        if (this != &other) {
            std::shared_ptr<const T> v = other.get();
            std::lock_guard<std::mutex> lock(mutex_);
            value_ = std::move(v);
        }
        return *this;
    }

    template <class Make>
    std::shared_ptr<const T> get_or_make(Make&& make) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!value_) value_ = std::make_shared<const T>(make());
        return value_;
    }

    std::shared_ptr<const T> get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        value_.reset();
    }

  private:
    mutable std::mutex mutex_;
    mutable std::shared_ptr<const T> value_;  // filled by get_or_make, a cache of a const model
};

}  // namespace canopy
