// Quantile binning: at most 256 bins per feature (the last edge +infinity), one-byte codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/views.hpp"

namespace canopy {

struct HistogramData {
    std::size_t n_rows = 0;
    // Feature-major: bin_codes[f][r] is the code of row r in feature f.
    std::vector<std::vector<std::uint8_t>> bin_codes;
    // Strictly increasing upper bin boundaries per feature; the last is +infinity.
    std::vector<std::vector<double>> bin_edges;
    std::vector<std::size_t> n_bins;
    // Optional (add_row_records in hist_split.hpp): every row's codes of the features with
    // two bins or more, ascending, one byte each, zero-padded to `record_words` 64-bit words
    // from row_records[r * record_words]. Empty unless a forest's trees read codes that way.
    std::vector<std::uint64_t> row_records;
    std::size_t record_words = 0;

    // Bins rows 0 .. n_samples-1 and columns 0 .. n_features-1 of x.
    static HistogramData build(const MatrixView& x, std::size_t n_samples, std::size_t n_features);
};

}  // namespace canopy
