#include "json_line.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace kx::cli {

namespace {

using Json = nlohmann::ordered_json;

// Compact, UTF-8 kept as it is, anything that is not UTF-8 replaced by U+FFFD.
std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

struct JsonObject::Fields {
    Json object = Json::object();
};

JsonObject::JsonObject() : m_fields(std::make_unique<Fields>()) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(const JsonObject& other)
    : m_fields(std::make_unique<Fields>(*other.m_fields)) {}
JsonObject& JsonObject::operator=(const JsonObject& other) {
    if (this != &other) {
        m_fields = std::make_unique<Fields>(*other.m_fields);
    }
    return *this;
}
JsonObject::JsonObject(JsonObject&& other) noexcept : m_fields(std::move(other.m_fields)) {
    other.m_fields = nullptr;
}
JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
    std::swap(m_fields, other.m_fields);
    return *this;
}

std::string JsonString(std::string_view text) {
    return Dump(Json(std::string(text)));
}

JsonObject& JsonObject::Set(std::string_view key, std::string_view text) {
    if (!m_fields) {
        m_fields = std::make_unique<Fields>();
    }
    m_fields->object[std::string(key)] = std::string(text);
    return *this;
}

JsonObject& JsonObject::Set(std::string_view key, double number) {
    if (!m_fields) {
        m_fields = std::make_unique<Fields>();
    }
    Json& field = m_fields->object[std::string(key)];
    if (std::isfinite(number)) {
        field = std::round(number * 1000.0) / 1000.0;
    } else {
        field = nullptr;
    }
    return *this;
}

JsonObject& JsonObject::Set(std::string_view key, long long number) {
    if (!m_fields) {
        m_fields = std::make_unique<Fields>();
    }
    m_fields->object[std::string(key)] = number;
    return *this;
}

std::optional<std::string> JsonObject::Text(std::string_view key) const {
    if (!m_fields) {
        return std::nullopt;
    }
    const auto at = m_fields->object.find(std::string(key));
    if (at == m_fields->object.end()) {
        return std::nullopt;
    }
    if (at->is_string()) {
        return at->get<std::string>();
    }
    return Dump(*at);
}

std::optional<double> JsonObject::Number(std::string_view key) const {
    if (!m_fields) {
        return std::nullopt;
    }
    const auto at = m_fields->object.find(std::string(key));
    if (at == m_fields->object.end() || !at->is_number()) {
        return std::nullopt;
    }
    return at->get<double>();
}

std::string JsonObject::Line() const {
    return m_fields ? Dump(m_fields->object) : std::string("{}");
}

std::optional<JsonObject> ParseJsonObject(std::string_view line) {
    Json parsed = Json::parse(line.begin(), line.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    for (const auto& field : parsed) {
        if (field.is_structured()) {
            return std::nullopt;  // flat objects only
        }
    }
    JsonObject object;
    object.m_fields->object = std::move(parsed);
    return object;
}

}  // namespace kx::cli
