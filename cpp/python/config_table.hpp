// Constructor keywords as a table of fields of the estimator's configuration record.
//
// A field names one member of the record; the member's type gives the argument's kind, the
// member's name is the keyword, and the record's own default member values are the
// defaults: the class signature text is printed from them. So a keyword, its position and
// its default are each written once, and arguments are read by name, not by position.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/call_frame.hpp"

namespace canopy::py {

template <class Config>
struct Field {
    Param param;
    void (*read)(const Args& a, std::size_t i, Config& out);  // stores argument i when given
    std::string (*show)(const Config& defaults);              // the default as Python writes it
};

template <class Config>
using Fields = std::vector<Field<Config>>;

// The default of a field as the signature text shows it.
std::string show_value(std::uint64_t v);
std::string show_value(double v);  // shortest round trip, exponent without padding: 1e-4
std::string show_value(bool v);
std::string show_value(const std::string& v);
template <class T>
std::string show_value(const std::optional<T>& v) {
    return v ? show_value(*v) : "None";
}

template <class T>
constexpr Kind kind_of() {
    if constexpr (std::is_same_v<T, std::uint64_t>) return Kind::Count;
    if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) return Kind::OptCount;
    if constexpr (std::is_same_v<T, double>) return Kind::Real;
    if constexpr (std::is_same_v<T, bool>) return Kind::Flag;
    if constexpr (std::is_same_v<T, std::string>) return Kind::Text;
    if constexpr (std::is_same_v<T, std::optional<std::string>>) return Kind::OptText;
}

template <class T>
T argument_value(const Args& a, std::size_t i) {
    if constexpr (std::is_same_v<T, std::uint64_t>) return a.count(i);
    if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) return a.count(i);
    if constexpr (std::is_same_v<T, double>) return a.real(i);
    if constexpr (std::is_same_v<T, bool>) return a.flag(i);
    if constexpr (std::is_same_v<T, std::string>) return a.text(i);
    if constexpr (std::is_same_v<T, std::optional<std::string>>) return a.text(i);
}

template <class Config, auto Member>
Field<Config> field(const char* name) {
    using T = std::remove_cvref_t<decltype(std::declval<Config&>().*Member)>;
    return Field<Config>{Param{name, kind_of<T>()},
                         [](const Args& a, std::size_t i, Config& out) {
                             if (a.has(i))
                                 out.*Member = argument_value<T>(a, i);  // None keeps the default
                         },
                         [](const Config& defaults) { return show_value(defaults.*Member); }};
}

// The field of member `member` of `Config`, under the member's own name.
#define CANOPY_FIELD(Config, member) ::canopy::py::field<Config, &Config::member>(#member)

template <class Config>
std::vector<Param> params_of(const Fields<Config>& fields) {
    std::vector<Param> params;
    for (const Field<Config>& f : fields) params.push_back(f.param);
    return params;
}

// The record's defaults, overwritten by every argument the caller gave.
template <class Config>
Config read_config(const Fields<Config>& fields, const Args& a) {
    Config config;
    for (std::size_t i = 0; i < fields.size(); ++i) fields[i].read(a, i, config);
    return config;
}

// "Class(name=default, ...)\n--\n\n": the class doc from which Python takes the signature.
template <class Config>
std::string text_signature(const char* class_name, const Fields<Config>& fields) {
    const Config defaults;
    std::string text = std::string(class_name) + "(";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::string(fields[i].param.name) + "=" + fields[i].show(defaults);
    }
    return text + ")\n--\n\n";
}

}  // namespace canopy::py
