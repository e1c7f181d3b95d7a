// The per-node feature shuffles of a forest's trees, drawn for several trees at once.
//
// A tree's generator (seed_from_u64 of its task's seed) serves nothing but the shuffles of
// its nodes, and every shuffle starts from the features in order: so the candidate
// prefixes a tree's nodes take, one per node in growing order, are fixed by its seed before
// the tree grows. Drawn node by node they are a long dependent chain (each rejection test
// waits on the list length the one before left, about thirty draws for twenty features)
// and take a sixth of a forest's fit. On processors with AVX-512, the trees of a fit are
// taken in groups of eight consecutive tasks whose chains advance side by side, one tree
// per vector lane, in chunks made ahead of the nodes that need them; a node then copies
// the next prefix of its tree's lane. The prefixes are those of Pcg64::shuffle, to the bit.
//
// A chunk holds the same number of whole shuffles for every lane. Their swaps are not
// replayed one by one: each kept position is traced back through the swaps, last to first,
// to the position (so the feature) it started from, for the eight lanes and several
// positions at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/rng.hpp"

namespace canopy {

// Up to eight trees' shuffle streams, made a chunk at a time for all of them. Shared by
// the trees of the group, which may grow on different threads at the same pace, and
// making a chunk takes about as long as a tree takes to use one: so a tree that starts a
// chunk makes those missing of the kAhead after it (unless another tree is making some),
// and the trees seldom find theirs missing and wait. A chunk once made is never changed
// and never moves, so it is read without a lock.
class ShuffleGroup {
public:
    static constexpr std::size_t kLanes = 8;
    // Accepted draws per lane in one chunk, at most: a chunk holds the whole shuffles that
    // fit (at least one).
    static constexpr std::size_t kDraws = 2048;
    // Chunks kept made ahead of the newest one a tree has started.
    static constexpr std::size_t kAhead = 4;
    // Prefixes up to this long are traced in vectors; longer ones are replayed swap by swap.
    static constexpr std::size_t kTracedPrefix = 16;

    // Lane k follows seed_from_u64(seeds[k]); lanes past the seeds follow seed 0 and are
    // never read. Lists of m items (2 to 256), of which `prefix` (1 to m) are kept.
    ShuffleGroup(std::span<const std::uint64_t> seeds, std::size_t m, std::size_t prefix);

    // Chunk c, made first with those before it if it is not made yet: shuffles_per_chunk()
    // shuffles of every lane, the kept prefix of lane k's shuffle s at item q being
    // byte (s * prefix + q) * kLanes + k.
    std::span<const std::uint8_t> chunk(std::size_t c);

    std::size_t shuffles_per_chunk() const { return per_chunk_; }
    std::size_t prefix() const { return prefix_; }

    // Whether this processor can make the lanes' draws (AVX-512 F, DQ and CD).
    static bool supported();

private:
    using Chunk = std::vector<std::uint8_t>;
    Chunk make_chunk();  // with make_mutex_ held
    // Makes chunks and adds them to the list until it holds more than c (make_mutex_ held).
    void make_through(std::size_t c);

    std::mutex make_mutex_;  // the making of chunks: the lanes' state below
    std::mutex list_mutex_;  // the list of chunks made
    std::deque<Chunk> chunks_;
    // Each lane's generator and the length of its list at the next draw (m between
    // chunks: a chunk ends with every lane's last shuffle complete).
    alignas(64) std::array<std::uint64_t, kLanes> hi_{}, lo_{}, inc_hi_{}, inc_lo_{}, len_{};
    // A chunk's accepted draws: the lanes' t-th side by side, at t * kLanes + lane.
    std::vector<std::uint32_t> drawn_;
    std::size_t m_;
    std::size_t prefix_;
    std::size_t per_chunk_;  // shuffles per lane in a chunk
};

// Where one tree's nodes take their candidate features from: the tree's own generator, or
// its lane of a group. Either way a node gets the same features.
class NodeShuffles {
public:
    explicit NodeShuffles(Pcg64& rng) : rng_(&rng) {}
    NodeShuffles(std::shared_ptr<ShuffleGroup> group, std::size_t lane)
        : group_(std::move(group)), lane_(lane), taken_(group_->shuffles_per_chunk()),
          per_chunk_(group_->shuffles_per_chunk()) {}

    // The first `prefix` of `items` (room for the m features the source was made for)
    // become those of the features 0 .. m-1, in order, after Pcg64::shuffle with the tree's
    // generator at this node; the rest of `items` is unspecified.
    void shuffle_prefix(std::span<std::size_t> items, std::size_t prefix);

private:
    Pcg64* rng_ = nullptr;
    std::shared_ptr<ShuffleGroup> group_;
    std::size_t lane_ = 0;
    std::size_t next_chunk_ = 0;
    std::span<const std::uint8_t> chunk_;  // the chunk being taken from
    std::size_t taken_ = 0;                // of its shuffles
    std::size_t per_chunk_ = 0;
};

// The groups of a fit's trees: made when a tree of the group first asks, and let go once
// every tree of the group has its NodeShuffles (the last of them frees the group).
class ForestShuffles {
public:
    // Groups are made when the processor supports them, the trees search `prefix` of m
    // features per node (prefix below m, m at most 256), and a group would hold at least
    // kMinTrees trees; otherwise every tree draws from its own generator.
    ForestShuffles(std::vector<std::uint64_t> seeds, std::size_t m, std::uint64_t prefix);

    // Tree i's lane, or nothing when it draws from its own generator. Once per tree.
    std::shared_ptr<ShuffleGroup> group_of(std::size_t i);
    static std::size_t lane_of(std::size_t i) { return i % ShuffleGroup::kLanes; }

    // Fewer trees than this share a group's work with too many idle lanes.
    static constexpr std::size_t kMinTrees = 4;

private:
    std::vector<std::uint64_t> seeds_;
    std::size_t m_ = 0;
    std::size_t prefix_ = 0;
    bool active_ = false;
    std::mutex mutex_;
    std::vector<std::shared_ptr<ShuffleGroup>> groups_;
    std::vector<std::size_t> taken_;  // per group, trees that have asked
};

}  // namespace canopy
