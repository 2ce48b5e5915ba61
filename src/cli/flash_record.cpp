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
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string field = "\"";
    for (const char c : text) {
        if (c == '"') {
            field.push_back('"');
        }
        field.push_back(c);
    }
    return field + "\"";
}

std::string RecordLine(const FlashRecord& r) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", r.duration);
    std::string line;
    for (const std::string* field :
         {&r.time, &r.serial, &r.location, &r.name, &r.file, &r.sha256, &r.result, &r.reason}) {
        line += CsvField(*field);
        line.push_back(',');
    }
    return line + duration + "," + std::to_string(r.restarts);
}

std::optional<std::string> CheckRecordWritable(const std::string& path) {
    File file{std::fopen(path.c_str(), "ab")};
    if (file.f == nullptr) {
        return Problem("cannot be opened for appending");
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
