// One JSON object per line: the events kxupgrade --json writes and the parent of --all
// reads back from its children. Flat objects only: text and number fields, in the order
// they were set. Written and read by nlohmann-json; its header stays in json_line.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kx::cli {

// `text` as a JSON string, quotes included. Bytes that are not valid UTF-8 become U+FFFD,
// so that the line stays valid whatever the device sent.
std::string JsonString(std::string_view text);

class JsonObject {
  public:
    JsonObject();
    ~JsonObject();
    JsonObject(const JsonObject& other);
    JsonObject& operator=(const JsonObject& other);
    JsonObject(JsonObject&& other) noexcept;
    JsonObject& operator=(JsonObject&& other) noexcept;

    JsonObject& Set(std::string_view key, std::string_view text);
    JsonObject& Set(std::string_view key, const char* text) {
        return Set(key, std::string_view(text));
    }
    // Written with at most three decimals; a number that is not finite as null.
    JsonObject& Set(std::string_view key, double number);
    JsonObject& Set(std::string_view key, long long number);
    JsonObject& Set(std::string_view key, int number) {
        return Set(key, static_cast<long long>(number));
    }

    // The field's text, or its number's text; nothing when absent.
    std::optional<std::string> Text(std::string_view key) const;
    std::optional<double> Number(std::string_view key) const;

    // {"key":"text","n":12} without a line end.
    std::string Line() const;

  private:
    struct Fields;
    std::unique_ptr<Fields> m_fields;

    friend std::optional<JsonObject> ParseJsonObject(std::string_view line);
};

// A flat object with text, number, true/false/null values; nothing for anything else.
std::optional<JsonObject> ParseJsonObject(std::string_view line);

}  // namespace kx::cli
