#include "engine/rng.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "engine/errors.hpp"

namespace canopy {

namespace {

u128 read_le128(const std::uint8_t* bytes) {
    u128 v = 0;
    for (int i = 15; i >= 0; --i) v = (v << 8) | bytes[i];
    return v;
}

}  // namespace

Pcg64 Pcg64::from_seed(const std::array<std::uint8_t, 32>& seed) {
    Pcg64 g;
    g.increment_ = read_le128(seed.data() + 16) | 1;
    g.state_ = read_le128(seed.data()) + g.increment_;
    g.step();
    return g;
}

Pcg64 Pcg64::seed_from_u64(std::uint64_t s) {
    std::array<std::uint8_t, 32> seed{};
    for (int chunk = 0; chunk < 8; ++chunk) {
        s = s * 6364136223846793005ULL + 11634580027462260723ULL;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto r = static_cast<int>(s >> 59);
        const std::uint32_t word = std::rotr(x, r);
        for (int b = 0; b < 4; ++b)
            seed[chunk * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return from_seed(seed);
}

std::uint64_t Pcg64::index_u64(std::uint64_t n) {
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const u128 m = static_cast<u128>(next_u64()) * n;
        if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::uint64_t>(m >> 64);
    }
}

void Pcg64::fill_indices(std::uint64_t n, std::uint32_t* out, std::size_t count) {
    if (count == 0) return;
    if (n == 0 || n > (std::uint64_t{1} << 32)) fail_internal("fill_indices: n out of range");
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    std::size_t k = 0;
    while (k < count) {
        // A rejected draw's value is overwritten by the next one.
        const u128 m = static_cast<u128>(next_u64()) * n;
        out[k] = static_cast<std::uint32_t>(m >> 64);
        k += static_cast<std::uint64_t>(m) <= zone;
    }
}

void Pcg64::skip_indices(std::uint64_t n, std::size_t count) {
    std::array<std::uint32_t, 256> dropped;
    for (std::size_t done = 0; done < count; done += dropped.size()) {
        fill_indices(n, dropped.data(), std::min(dropped.size(), count - done));
    }
}

std::uint64_t Pcg64::index_for_shuffle(std::uint64_t n) {
    if (n > 0xFFFFFFFFULL) return index_u64(n);
    const auto n32 = static_cast<std::uint32_t>(n);
    const std::uint32_t zone = (n32 << std::countl_zero(n32)) - 1;
    for (;;) {
        const std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * n32;
        if (static_cast<std::uint32_t>(m) <= zone) return m >> 32;
    }
}

Pcg64 seed_rng(std::optional<std::uint64_t> random_state) {
    if (random_state) return Pcg64::seed_from_u64(*random_state);
    std::array<std::uint8_t, 32> seed{};
    std::size_t filled = 0;
    while (filled < seed.size()) {
        const ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail_internal(std::string("from_entropy failed: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return Pcg64::from_seed(seed);
}

}  // namespace canopy
