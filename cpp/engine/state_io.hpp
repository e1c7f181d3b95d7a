// The bytes of a saved estimator state (docs/state_format.md): a fixed header (signature,
// format version, estimator kind, payload length, CRC-32 of the payload) and a payload of
// little-endian fixed-width fields and count-prefixed arrays.
//
// The reader trusts nothing it reads. The header is checked as a whole before the payload is
// parsed (signature, a version this code reads, the expected kind, the exact length, the
// checksum), and every count is checked against the bytes that remain before anything is
// allocated for it, so a state can never make the reader allocate much more than its own
// size. Every failure throws StateError (raised in Python as ValueError) whose message names
// what was being read and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/errors.hpp"

namespace canopy {

// A state that cannot be read: not a state, another estimator's, too new, cut short, corrupted
// or inconsistent. A UserError, so the binding raises it as ValueError.
struct StateError : UserError {
    using UserError::UserError;
};

// The format this code writes, and the newest it reads.
inline constexpr std::uint32_t kStateFormatVersion = 1;

// Which estimator a state belongs to; the numbers are part of the format.
enum class StateKind : std::uint32_t {
    DecisionTree = 1,
    RandomForestRegressor = 2,
    RandomForestClassifier = 3,
    CanopyRegressor = 4,
    CanopyClassifier = 5,
    RandomForestUnsupervised = 6,
    TreeShap = 7,
};

// The class name of a kind ("TreeSHAP" for TreeShap); nullptr for a number that names none.
const char* state_kind_name(std::uint32_t kind);

// Bytes of the header before the payload.
inline constexpr std::size_t kStateHeaderSize = 28;

// CRC-32 (the polynomial of zlib and PNG) of `data`, continuing from `crc`.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

class StateWriter {
  public:
    explicit StateWriter(StateKind kind);

    void u8(std::uint8_t v);
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void f64(double v);
    void boolean(bool v) { u8(v ? 1 : 0); }
    void opt_u64(const std::optional<std::uint64_t>& v);
    void opt_i64(const std::optional<std::int64_t>& v);
    void text(const std::string& v);
    void opt_text(const std::optional<std::string>& v);
    // A count, then the elements.
    void u16s(std::span<const std::uint16_t> v);
    void u32s(std::span<const std::uint32_t> v);
    void u64s(std::span<const std::uint64_t> v);
    void f64s(std::span<const double> v);
    // The elements alone, for arrays whose length the reader already knows.
    template <class T>
    void elements(std::span<const T> v);
    void raw(const void* data, std::size_t bytes);

    // The complete state: the header filled in before the payload.
    std::vector<std::uint8_t> finish() &&;

  private:
    template <class T>
    void put(T v);

    std::vector<std::uint8_t> bytes_;
};

class StateReader {
  public:
    // Checks the header against `expected` and the payload against the header.
    StateReader(std::span<const std::uint8_t> bytes, StateKind expected);

    // Names what the fields read next belong to, for messages ("tree 3 nodes").
    void context(std::string what) { context_ = std::move(what); }

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    double f64();
    bool boolean();
    std::optional<std::uint64_t> opt_u64();
    std::optional<std::int64_t> opt_i64();
    std::string text();
    std::optional<std::string> opt_text();
    std::vector<std::uint16_t> u16s();
    std::vector<std::uint32_t> u32s();
    std::vector<std::uint64_t> u64s();
    std::vector<double> f64s();
    // Exactly n elements (written by StateWriter::elements).
    template <class T>
    std::vector<T> elements(std::size_t n);

    // A count of items that take at least `min_bytes` each in what follows (refused when the
    // remaining bytes cannot hold them).
    std::size_t count(std::size_t min_bytes);
    // Copies `bytes` bytes out of the state.
    void raw(void* out, std::size_t bytes);

    std::size_t remaining() const { return end_ - pos_; }
    // The payload must be used up exactly.
    void finish();

    // Throws StateError "canopy state: {what} (byte {offset}, reading {context})".
    [[noreturn]] void fail(const std::string& what) const;

  private:
    void need(std::size_t bytes);
    template <class T>
    T get();

    const std::uint8_t* data_;
    std::size_t pos_;
    std::size_t end_;
    std::string context_ = "the header";
};

}  // namespace canopy
