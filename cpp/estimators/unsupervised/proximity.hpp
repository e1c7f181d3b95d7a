// Leaf identities and the proximity counting behind the dense matrix, the sparse
// neighbour lists, the outlier scores and the embedding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {

using OobSets = std::vector<std::vector<RowIndex>>;

// The training rows of tree t grouped by leaf. A row's leaf is known by the node id the walk
// ends on, which no other leaf of the tree shares however deep the tree (a heap-order
// number, 2id+1 / 2id+2, would wrap in 64 bits below depth 63 and make distinct leaves
// collide). `order` lists the rows sorted by (leaf id, row), `sorted_ids[k]` is the id of
// order[k]. With ranges, row i's group is order[group_begin[i] .. group_end[i]).
struct LeafGroups {
    std::vector<std::uint32_t> sorted_ids;
    std::vector<RowIndex> order;
    std::vector<RowIndex> group_begin;
    std::vector<RowIndex> group_end;
};
LeafGroups group_rows_by_leaf(const Forest& forest, std::size_t t, const Matrix& x,
                              bool with_ranges);

// The training rows grouped by leaf in every tree, computed in parallel over the trees.
std::vector<LeafGroups> group_rows_by_leaf_all(const Forest& forest, const Matrix& x,
                                               bool with_ranges);

// Row i's leaf-mates that make a valid pair with it in one tree, order[begin .. end) of that
// tree's groups: the whole group when i is out of bag there, else the group's out-of-bag rows.
struct MateRange {
    RowIndex begin;
    RowIndex end;
};

// The training rows grouped by leaf in every tree (without ranges), each group listing the
// tree's out-of-bag rows first (each part in increasing row order), and every row's valid
// leaf-mates in every tree, kept row by row (mates[i * n_trees + t]) so that counting one
// row reads them as one stream.
struct OobFirstGroups {
    std::vector<LeafGroups> groups;
    std::vector<MateRange> mates;
};
OobFirstGroups group_rows_by_leaf_oob_first(const Forest& forest, const OobSets& oob_sets,
                                            const Matrix& x);

// Per training row i, the sums over j of the squared out-of-bag proximities prox(i, j)^2,
// with and without the row's own term. Only pairs that share a leaf in a tree where one of
// them is out of bag are visited (any other proximity is 0.0); the nonzero terms are added
// in increasing j, so the sums equal those over the dense rows to the bit.
struct SquareSums {
    std::vector<double> with_self;
    std::vector<double> without_self;
};
SquareSums proximity_square_sums(const OobSets& oob_sets, const OobFirstGroups& groups,
                                 std::size_t n);

// Calls row_fn(i, row) with row i of the dense proximity matrix for every training row.
// Rows are produced in parallel blocks; row_fn may only write storage that belongs to row i.
// Counts are exact integers, so the values equal those of the pair-by-pair definition.
void for_each_proximity_row(
    const Forest& forest, const OobSets& oob_sets, const Matrix& x, bool use_oob,
    const std::function<void(std::size_t, std::span<const double>)>& row_fn);

Matrix dense_proximity(const Forest& forest, const OobSets& oob_sets, const Matrix& x,
                       bool use_oob);

// Neighbour lists with at most 2k pairs per row while trees are visited, then counts / T,
// sorted by decreasing proximity and cut to k. `k` is already clamped to [min(1, n-1), n-1].
// When given, peak_row_pairs receives the largest number of pairs any row ever held.
std::vector<SparseProximityRow> sparse_proximity_rows(const Forest& forest, const OobSets& oob_sets,
                                                      const Matrix& x, std::size_t k,
                                                      std::size_t* peak_row_pairs = nullptr);

// n_new x n shares of all trees in which new row r and training row j share a leaf
// (NaN everywhere without trees).
Matrix new_row_proximity(const Forest& forest, const Matrix& x_train, const MatrixView& x_new);

// Per new row r, sum_j P[r][j]^2 of the matrix above, visiting only the training rows that
// share a leaf with r (terms added in increasing j, as over the dense row), so the cost does
// not grow with n_new x n. `groups` are the training rows' groups (ranges not needed). 0.0
// for a row that shares no leaf (and for every row without trees).
std::vector<double> new_row_square_sums(const Forest& forest, const std::vector<LeafGroups>& groups,
                                        std::size_t n_train, const MatrixView& x_new);

}  // namespace canopy
