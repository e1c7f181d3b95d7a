// The one source of randomness: PCG XSL RR 128/64, its seeding, uniform index draws and
// the Fisher-Yates shuffle. Bit-exact, so a seed always gives the same model.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace canopy {

using u128 = unsigned __int128;

class Pcg64 {
public:
    static Pcg64 from_seed(const std::array<std::uint8_t, 32>& seed);
    static Pcg64 seed_from_u64(std::uint64_t seed);

    std::uint64_t next_u64() {
        step();
        const auto hi = static_cast<std::uint64_t>(state_ >> 64);
        const auto lo = static_cast<std::uint64_t>(state_);
        const unsigned rot = static_cast<unsigned>(hi >> 58);
        const std::uint64_t x = hi ^ lo;
        return (x >> rot) | (x << ((64 - rot) & 63));
    }
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }

    // Uniform integer in [0, n), n >= 1; 64-bit widening-multiply rejection method.
    std::uint64_t index_u64(std::uint64_t n);
    // The shuffle's draw: 32-bit rejection when n fits in 32 bits, otherwise index_u64.
    std::uint64_t index_for_shuffle(std::uint64_t n);

    template <class T>
    void shuffle(std::span<T> items) {
        for (std::size_t i = items.size(); i > 1; --i) {
            const std::size_t j = static_cast<std::size_t>(index_for_shuffle(i));
            std::swap(items[i - 1], items[j]);
        }
    }

private:
    static constexpr u128 kMultiplier =
        (static_cast<u128>(0x2360ED051FC65DA4ULL) << 64) | 0x4385DF649FCCF645ULL;
    void step() { state_ = state_ * kMultiplier + increment_; }

    u128 state_ = 0;
    u128 increment_ = 1;
};

// seed_from_u64(random_state) when given, otherwise 32 bytes of operating-system entropy.
// Entropy failure aborts with "from_entropy failed: ...".
Pcg64 seed_rng(std::optional<std::uint64_t> random_state);

}  // namespace canopy
