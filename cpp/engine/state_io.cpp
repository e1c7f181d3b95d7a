#include "engine/state_io.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

namespace canopy {

namespace {

// Whether the bytes are well-formed UTF-8: no stray or missing continuation bytes, overlong
// forms, surrogates or code points past U+10FFFF. Every text a state holds was written
// from a Python string, and is handed back as one.
bool is_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t code = 0;
        std::uint32_t least = 0;
        if ((lead & 0xE0) == 0xC0) {
            len = 2, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Eight bytes no text file starts with: a high byte, the name, a newline.
constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'c', 'a', 'n', 'o', 'p', 'y', '\n'};

// Slicing-by-8 tables of the reflected polynomial 0xEDB88320.
struct CrcTables {
    std::uint32_t t[8][256];
    constexpr CrcTables() : t{} {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i) {
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
        }
    }
};
constexpr CrcTables kCrc{};

// The unsigned integer of T's width.
template <class T>
using Bits = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t,
                       std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

template <class T>
T from_le(const std::uint8_t* p) {
    Bits<T> u = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) u |= static_cast<Bits<T>>(Bits<T>{p[i]} << (8 * i));
    return std::bit_cast<T>(u);
}

template <class T>
void to_le(T v, std::uint8_t* p) {
    const auto u = std::bit_cast<Bits<T>>(v);
    for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

constexpr bool kLittle = std::endian::native == std::endian::little;

std::string kind_text(std::uint32_t kind) {
    const char* name = state_kind_name(kind);
    return name != nullptr ? std::string(name) : "unknown kind " + std::to_string(kind);
}

[[noreturn]] void fail_header(const std::string& what) {
    throw StateError("canopy state: " + what);
}

}  // namespace

const char* state_kind_name(std::uint32_t kind) {
    switch (static_cast<StateKind>(kind)) {
        case StateKind::DecisionTree:
            return "DecisionTree";
        case StateKind::RandomForestRegressor:
            return "RandomForestRegressor";
        case StateKind::RandomForestClassifier:
            return "RandomForestClassifier";
        case StateKind::CanopyRegressor:
            return "CanopyRegressor";
        case StateKind::CanopyClassifier:
            return "CanopyClassifier";
        case StateKind::RandomForestUnsupervised:
            return "RandomForestUnsupervised";
        case StateKind::TreeShap:
            return "TreeSHAP";
    }
    return nullptr;
}

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
    crc = ~crc;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = from_le<std::uint32_t>(p) ^ crc;
        const std::uint32_t hi = from_le<std::uint32_t>(p + 4);
        crc = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^
              kCrc.t[4][lo >> 24] ^ kCrc.t[3][hi & 0xFF] ^ kCrc.t[2][(hi >> 8) & 0xFF] ^
              kCrc.t[1][(hi >> 16) & 0xFF] ^ kCrc.t[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) crc = kCrc.t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// ---- Writer -----------------------------------------------------------------------------------

StateWriter::StateWriter(StateKind kind) : bytes_(kStateHeaderSize, 0) {
    std::copy(kSignature.begin(), kSignature.end(), bytes_.begin());
    to_le(kStateFormatVersion, bytes_.data() + 8);
    to_le(static_cast<std::uint32_t>(kind), bytes_.data() + 12);
}

template <class T>
void StateWriter::put(T v) {
    std::uint8_t b[sizeof(T)];
    to_le(v, b);
    bytes_.insert(bytes_.end(), b, b + sizeof(T));
}

template <class T>
void StateWriter::elements(std::span<const T> v) {
    if constexpr (kLittle) {
        raw(v.data(), v.size_bytes());
    } else {
        for (T x : v) put(x);
    }
}

void StateWriter::u8(std::uint8_t v) { bytes_.push_back(v); }
void StateWriter::u16(std::uint16_t v) { put(v); }
void StateWriter::u32(std::uint32_t v) { put(v); }
void StateWriter::u64(std::uint64_t v) { put(v); }
void StateWriter::f64(double v) { put(v); }

void StateWriter::opt_u64(const std::optional<std::uint64_t>& v) {
    boolean(v.has_value());
    if (v) u64(*v);
}

void StateWriter::opt_i64(const std::optional<std::int64_t>& v) {
    boolean(v.has_value());
    if (v) i64(*v);
}

void StateWriter::text(const std::string& v) {
    u64(v.size());
    raw(v.data(), v.size());
}

void StateWriter::opt_text(const std::optional<std::string>& v) {
    boolean(v.has_value());
    if (v) text(*v);
}

template void StateWriter::elements(std::span<const std::uint16_t>);
template void StateWriter::elements(std::span<const std::uint32_t>);
template void StateWriter::elements(std::span<const std::uint64_t>);
template void StateWriter::elements(std::span<const double>);

void StateWriter::u16s(std::span<const std::uint16_t> v) {
    u64(v.size());
    elements(v);
}
void StateWriter::u32s(std::span<const std::uint32_t> v) {
    u64(v.size());
    elements(v);
}
void StateWriter::u64s(std::span<const std::uint64_t> v) {
    u64(v.size());
    elements(v);
}
void StateWriter::f64s(std::span<const double> v) {
    u64(v.size());
    elements(v);
}

void StateWriter::raw(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + bytes);
}

std::vector<std::uint8_t> StateWriter::finish() && {
    const std::span<const std::uint8_t> payload(bytes_.data() + kStateHeaderSize,
                                                bytes_.size() - kStateHeaderSize);
    to_le(static_cast<std::uint64_t>(payload.size()), bytes_.data() + 16);
    to_le(crc32(payload), bytes_.data() + 24);
    return std::move(bytes_);
}

// ---- Reader -----------------------------------------------------------------------------------

StateReader::StateReader(std::span<const std::uint8_t> bytes, StateKind expected)
    : data_(bytes.data()), pos_(0), end_(bytes.size()) {
    const char* name = state_kind_name(static_cast<std::uint32_t>(expected));
    if (bytes.size() < kSignature.size() ||
        !std::equal(kSignature.begin(), kSignature.end(), bytes.begin())) {
        fail_header(std::string("not a canopy state (the data does not start with the canopy "
                                "state signature), so it cannot be loaded into a ") +
                    name);
    }
    if (bytes.size() < kStateHeaderSize) {
        fail_header("truncated: " + std::to_string(bytes.size()) + " bytes, fewer than the " +
                    std::to_string(kStateHeaderSize) + " of the header");
    }
    const auto version = from_le<std::uint32_t>(data_ + 8);
    if (version > kStateFormatVersion) {
        fail_header("format version " + std::to_string(version) +
                    " is newer than this canopy reads (" + std::to_string(kStateFormatVersion) +
                    "); load it with the canopy release that saved it or a later one");
    }
    if (version == 0) fail_header("format version 0 does not exist (the header is corrupted)");
    const auto kind = from_le<std::uint32_t>(data_ + 12);
    if (kind != static_cast<std::uint32_t>(expected)) {
        fail_header("the state is for " + kind_text(kind) + ", not " + name);
    }
    const auto length = from_le<std::uint64_t>(data_ + 16);
    const std::size_t present = bytes.size() - kStateHeaderSize;
    if (length > present) {
        fail_header("truncated: the header announces " + std::to_string(length) +
                    " payload bytes but only " + std::to_string(present) + " follow");
    }
    if (length < present) {
        fail_header(std::to_string(present - length) + " unexpected bytes after the " +
                    std::to_string(length) + " payload bytes the header announces");
    }
    const auto expected_crc = from_le<std::uint32_t>(data_ + 24);
    if (crc32(bytes.subspan(kStateHeaderSize)) != expected_crc) {
        fail_header("checksum mismatch: the state is corrupted");
    }
    pos_ = kStateHeaderSize;
    context_ = "the payload";
}

void StateReader::fail(const std::string& what) const {
    throw StateError("canopy state: " + what + " (byte " + std::to_string(pos_) + ", reading " +
                     context_ + ")");
}

void StateReader::need(std::size_t bytes) {
    if (bytes > remaining()) {
        fail("truncated: " + std::to_string(bytes) + " bytes needed, " +
             std::to_string(remaining()) + " left");
    }
}

template <class T>
T StateReader::get() {
    need(sizeof(T));
    const T v = from_le<T>(data_ + pos_);
    pos_ += sizeof(T);
    return v;
}

template <class T>
std::vector<T> StateReader::elements(std::size_t n) {
    if (n > remaining() / sizeof(T)) {
        fail("truncated: " + std::to_string(n) + " elements of " + std::to_string(sizeof(T)) +
             " bytes needed, " + std::to_string(remaining()) + " bytes left");
    }
    std::vector<T> out(n);
    if constexpr (kLittle) {
        raw(out.data(), n * sizeof(T));
    } else {
        for (T& v : out) v = get<T>();
    }
    return out;
}

std::uint8_t StateReader::u8() { return get<std::uint8_t>(); }
std::uint16_t StateReader::u16() { return get<std::uint16_t>(); }
std::uint32_t StateReader::u32() { return get<std::uint32_t>(); }
std::uint64_t StateReader::u64() { return get<std::uint64_t>(); }
double StateReader::f64() { return get<double>(); }

bool StateReader::boolean() {
    const std::uint8_t v = u8();
    if (v > 1) fail("a flag holds " + std::to_string(v) + ", not 0 or 1");
    return v == 1;
}

std::optional<std::uint64_t> StateReader::opt_u64() {
    if (!boolean()) return std::nullopt;
    return u64();
}

std::optional<std::int64_t> StateReader::opt_i64() {
    if (!boolean()) return std::nullopt;
    return i64();
}

std::string StateReader::text() {
    const std::size_t n = count(1);
    std::string out(n, '\0');
    raw(out.data(), n);
    if (!is_utf8(out)) fail("a text that is not UTF-8");
    return out;
}

std::optional<std::string> StateReader::opt_text() {
    if (!boolean()) return std::nullopt;
    return text();
}

template std::vector<std::uint16_t> StateReader::elements(std::size_t);
template std::vector<std::uint32_t> StateReader::elements(std::size_t);
template std::vector<std::uint64_t> StateReader::elements(std::size_t);
template std::vector<double> StateReader::elements(std::size_t);

std::vector<std::uint16_t> StateReader::u16s() { return elements<std::uint16_t>(count(2)); }
std::vector<std::uint32_t> StateReader::u32s() { return elements<std::uint32_t>(count(4)); }
std::vector<std::uint64_t> StateReader::u64s() { return elements<std::uint64_t>(count(8)); }
std::vector<double> StateReader::f64s() { return elements<double>(count(8)); }

std::size_t StateReader::count(std::size_t min_bytes) {
    if (min_bytes == 0) fail_internal("a state count must bound its items' size");
    const std::uint64_t n = u64();
    if (n > remaining() / min_bytes) {
        fail("a count of " + std::to_string(n) + " items does not fit in the " +
             std::to_string(remaining()) + " bytes left");
    }
    return static_cast<std::size_t>(n);
}

void StateReader::raw(void* out, std::size_t bytes) {
    need(bytes);
    if (bytes != 0) std::memcpy(out, data_ + pos_, bytes);
    pos_ += bytes;
}

void StateReader::finish() {
    if (remaining() != 0) fail(std::to_string(remaining()) + " bytes left over after the state");
}

}  // namespace canopy
