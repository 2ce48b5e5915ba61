#include "flash_record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kx::cli {

namespace {

struct File {
    std::FILE* f;
    ~File() {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
};

std::string Problem(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::string CsvField(std::string_view text) {
    std::string field;
    if (!text.empty() &&
        std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
        field.push_back('\'');
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            field += hex;
        } else {
            field.push_back(c);
        }
    }
    if (field.find_first_of(",\"") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"') {
            quoted.push_back('"');
        }
        quoted.push_back(c);
    }
    return quoted + "\"";
}

std::string RecordLine(const FlashRecord& r) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", r.duration);
    std::string line;
    for (const std::string* field :
         {&r.time, &r.serial, &r.location, &r.name, &r.file, &r.sha256}) {
        line += CsvField(*field) + ",";
    }
    line += std::to_string(r.size) + ",";
    for (const std::string* field : {&r.result, &r.reason}) {
        line += CsvField(*field) + ",";
    }
    return line + duration + "," + std::to_string(r.restarts);
}

std::optional<std::string> CheckRecordWritable(const std::string& path) {
    File file{std::fopen(path.c_str(), "ab+")};
    if (file.f == nullptr) {
        return Problem("cannot be opened for appending");
    }
    std::fseek(file.f, 0, SEEK_SET);
    char first[sizeof kRecordHeader + 1] = {};
    const std::size_t got = std::fread(first, 1, sizeof first - 1, file.f);
    const std::string_view head(first, got);
    const std::string_view header(kRecordHeader);
    if (got > 0 && (head.substr(0, header.size()) != header ||
                    (head.size() > header.size() && head[header.size()] != '\n' &&
                     head[header.size()] != '\r'))) {
        return std::string("holds lines of another layout (its first line is not \"") +
               kRecordHeader + "\"): give a new file";
    }
    return std::nullopt;
}

std::optional<std::string> AppendRecord(const std::string& path, const FlashRecord& record) {
    File file{std::fopen(path.c_str(), "ab")};
    if (file.f == nullptr) {
        return Problem("cannot be opened for appending");
    }
    std::fseek(file.f, 0, SEEK_END);
    std::string text;
    if (std::ftell(file.f) == 0) {
        text = std::string(kRecordHeader) + "\n";
    }
    text += RecordLine(record) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), file.f) != text.size() ||
        std::fflush(file.f) != 0) {
        return Problem("cannot be written");
    }
#ifdef _WIN32
    _commit(_fileno(file.f));
#else
    ::fsync(::fileno(file.f));
#endif
    return std::nullopt;
}

}  // namespace kx::cli
