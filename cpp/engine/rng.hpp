// The one source of randomness: PCG XSL RR 128/64, its seeding, uniform index draws and
// the Fisher-Yates shuffle. Bit-exact, so a seed always gives the same model.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

namespace canopy {

using u128 = unsigned __int128;

class Pcg64 {
public:
    static Pcg64 from_seed(const std::array<std::uint8_t, 32>& seed);
    static Pcg64 seed_from_u64(std::uint64_t seed);

    std::uint64_t next_u64() {
        step();
        return output(state_);
    }
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64()); }

    // Uniform integer in [0, n), n >= 1; 64-bit widening-multiply rejection method.
    std::uint64_t index_u64(std::uint64_t n);
    // count calls of index_u64(n) (n in [1, 2^32] unless count is 0), written to out. A
    // bootstrap makes millions of these draws, and for many n nearly half of them are
    // rejected: each draw is taken or rejected without a branch, which would be mispredicted
    // that often.
    void fill_indices(std::uint64_t n, std::uint32_t* out, std::size_t count);
    // The same calls with their results dropped.
    void skip_indices(std::uint64_t n, std::size_t count);
    // The shuffle's draw: 32-bit rejection when n fits in 32 bits, otherwise index_u64.
    std::uint64_t index_for_shuffle(std::uint64_t n);

    // Fisher-Yates from the end with index_for_shuffle's draws. A forest shuffles its
    // features at every node, so the common case (lists shorter than 2^32) is written out:
    // the state lives in local variables, out of the swaps' way, and each draw is taken or
    // rejected without a branch (the rejection rate is far from rare, up to one half, and
    // a mispredicted branch costs more than the draw). A rejected draw swaps nothing and
    // keeps i, so the draws and the result are those of the plain loop.
    template <class T>
    void shuffle(std::span<T> items) {
        std::size_t i = items.size();
        for (; i > 0xFFFFFFFFULL; --i) {
            std::swap(items[i - 1], items[static_cast<std::size_t>(index_u64(i))]);
        }
        // The state in 64-bit halves: the compiler keeps those in registers more readily.
        auto lo = static_cast<std::uint64_t>(state_);
        auto hi = static_cast<std::uint64_t>(state_ >> 64);
        const auto inc_lo = static_cast<std::uint64_t>(increment_);
        const auto inc_hi = static_cast<std::uint64_t>(increment_ >> 64);
        constexpr auto mul_lo = static_cast<std::uint64_t>(kMultiplier);
        constexpr auto mul_hi = static_cast<std::uint64_t>(kMultiplier >> 64);
        while (i > 1) {
            const auto n32 = static_cast<std::uint32_t>(i);
            const std::uint32_t zone = (n32 << std::countl_zero(n32)) - 1;
            // state * kMultiplier + increment, modulo 2^128, then the output
            const u128 low = static_cast<u128>(lo) * mul_lo + inc_lo;
            hi = static_cast<std::uint64_t>(low >> 64) + hi * mul_lo + lo * mul_hi + inc_hi;
            lo = static_cast<std::uint64_t>(low);
            const std::uint64_t x = hi ^ lo;
            const unsigned rot = static_cast<unsigned>(hi >> 58);
            const std::uint64_t out = (x >> rot) | (x << ((64 - rot) & 63));
            const std::uint64_t m =
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(out)) * n32;
            const std::size_t take = static_cast<std::uint32_t>(m) <= zone;
            const auto j = static_cast<std::size_t>(m >> 32);  // below i, taken or not
            const T a = items[i - 1];
            const T b = items[j];
            if constexpr (std::is_integral_v<T>) {
                // Selected by a mask: the compiler would turn a conditional back into a branch.
                const T keep = static_cast<T>(take - 1);  // all ones when rejected
                items[j] = static_cast<T>((a & ~keep) | (b & keep));
                items[i - 1] = static_cast<T>((b & ~keep) | (a & keep));
            } else {
                items[j] = take ? a : b;
                items[i - 1] = take ? b : a;
            }
            i -= take;
        }
        state_ = (static_cast<u128>(hi) << 64) | lo;
    }

    // The generator's parts, for code that advances several generators side by side.
    u128 state() const { return state_; }
    u128 increment() const { return increment_; }
    static constexpr u128 multiplier() { return kMultiplier; }

private:
    static constexpr u128 kMultiplier =
        (static_cast<u128>(0x2360ED051FC65DA4ULL) << 64) | 0x4385DF649FCCF645ULL;
    void step() { state_ = state_ * kMultiplier + increment_; }
    // XSL RR: the output of a state.
    static std::uint64_t output(u128 state) {
        const auto hi = static_cast<std::uint64_t>(state >> 64);
        const auto lo = static_cast<std::uint64_t>(state);
        const unsigned rot = static_cast<unsigned>(hi >> 58);
        const std::uint64_t x = hi ^ lo;
        return (x >> rot) | (x << ((64 - rot) & 63));
    }

    u128 state_ = 0;
    u128 increment_ = 1;
};

// seed_from_u64(random_state) when given, otherwise 32 bytes of operating-system entropy.
// Entropy failure aborts with "from_entropy failed: ...".
Pcg64 seed_rng(std::optional<std::uint64_t> random_state);

}  // namespace canopy
