#include "json_line.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kx::cli {

namespace {

// Length of the valid UTF-8 sequence at `text[at]`, or 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, lowest = 0x80, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, lowest = 0x800, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, lowest = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < lowest || code > 0x10FFFF || surrogate ? 0 : length;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

class Reader {
  public:
    explicit Reader(std::string_view text) : m_text(text) {}

    void Space() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n')) {
            ++m_at;
        }
    }
    bool Take(char c) {
        Space();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool AtEnd() {
        Space();
        return m_at == m_text.size();
    }
    bool Peek(char c) {
        Space();
        return m_at < m_text.size() && m_text[m_at] == c;
    }

    std::optional<std::string> String() {
        if (!Take('"')) {
            return std::nullopt;
        }
        std::string out;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return std::nullopt;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_at == m_text.size()) {
                return std::nullopt;
            }
            const char e = m_text[m_at++];
            switch (e) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    std::optional<std::uint32_t> code = Hex4();
                    if (!code) {
                        return std::nullopt;
                    }
                    if (*code >= 0xD800 && *code < 0xDC00) {
                        if (!(Take('\\') && m_at < m_text.size() && m_text[m_at++] == 'u')) {
                            return std::nullopt;
                        }
                        const std::optional<std::uint32_t> low = Hex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF) {
                            return std::nullopt;
                        }
                        code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
                    } else if (*code >= 0xDC00 && *code <= 0xDFFF) {
                        return std::nullopt;
                    }
                    AppendUtf8(out, *code);
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // A number, true, false or null, as written.
    std::optional<std::string> Scalar() {
        Space();
        for (const char* word : {"true", "false", "null"}) {
            const std::string_view w(word);
            if (m_text.substr(m_at, w.size()) == w) {
                m_at += w.size();
                return std::string(w);
            }
        }
        const std::size_t start = m_at;
        while (m_at < m_text.size() &&
               std::string_view("+-0123456789.eE").find(m_text[m_at]) != std::string_view::npos) {
            ++m_at;
        }
        const std::string number(m_text.substr(start, m_at - start));
        char* end = nullptr;
        if (number.empty() ||
            (std::strtod(number.c_str(), &end), end != number.c_str() + number.size())) {
            return std::nullopt;
        }
        return number;
    }

  private:
    std::optional<std::uint32_t> Hex4() {
        if (m_at + 4 > m_text.size()) {
            return std::nullopt;
        }
        std::uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = m_text[m_at++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
                code |= static_cast<std::uint32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                code |= static_cast<std::uint32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                code |= static_cast<std::uint32_t>(h - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        return code;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::Put(std::string_view key, std::string value, bool isText) {
    for (Field& field : m_fields) {
        if (field.key == key) {
            field.value = std::move(value);
            field.isText = isText;
            return *this;
        }
    }
    m_fields.push_back(Field{std::string(key), std::move(value), isText});
    return *this;
}

JsonObject& JsonObject::Set(std::string_view key, std::string_view text) {
    return Put(key, std::string(text), true);
}

JsonObject& JsonObject::Set(std::string_view key, double number) {
    if (!std::isfinite(number)) {
        return Put(key, "null", false);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number);
    std::string value(text);
    while (value.back() == '0') {
        value.pop_back();
    }
    if (value.back() == '.') {
        value.pop_back();
    }
    return Put(key, value == "-0" ? "0" : value, false);
}

JsonObject& JsonObject::Set(std::string_view key, long long number) {
    return Put(key, std::to_string(number), false);
}

const JsonObject::Field* JsonObject::Find(std::string_view key) const {
    for (const Field& field : m_fields) {
        if (field.key == key) {
            return &field;
        }
    }
    return nullptr;
}

std::optional<std::string> JsonObject::Text(std::string_view key) const {
    const Field* field = Find(key);
    return field != nullptr ? std::optional<std::string>(field->value) : std::nullopt;
}

std::optional<double> JsonObject::Number(std::string_view key) const {
    const Field* field = Find(key);
    if (field == nullptr || field->isText) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(field->value.c_str(), &end);
    return end == field->value.c_str() + field->value.size() ? std::optional<double>(value)
                                                             : std::nullopt;
}

std::string JsonObject::Line() const {
    std::string line = "{";
    for (const Field& field : m_fields) {
        if (line.size() > 1) {
            line.push_back(',');
        }
        line += JsonString(field.key);
        line.push_back(':');
        line += field.isText ? JsonString(field.value) : field.value;
    }
    return line + "}";
}

std::optional<JsonObject> ParseJsonObject(std::string_view line) {
    Reader in(line);
    JsonObject object;
    if (!in.Take('{')) {
        return std::nullopt;
    }
    if (!in.Take('}')) {
        do {
            const std::optional<std::string> key = in.String();
            if (!key || !in.Take(':')) {
                return std::nullopt;
            }
            if (in.Peek('"')) {
                const std::optional<std::string> text = in.String();
                if (!text) {
                    return std::nullopt;
                }
                object.Put(*key, *text, true);
            } else {
                const std::optional<std::string> scalar = in.Scalar();
                if (!scalar) {
                    return std::nullopt;
                }
                object.Put(*key, *scalar, false);
            }
        } while (in.Take(','));
        if (!in.Take('}')) {
            return std::nullopt;
        }
    }
    if (!in.AtEnd()) {
        return std::nullopt;
    }
    return object;
}

}  // namespace kx::cli
