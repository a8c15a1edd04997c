#include "platform/registry.h"

#include <charconv>
#include <fstream>

#include "platform/paths.h"
#include "platform/text.h"

namespace zul {
namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// Key paths are written with or without the leading backslash.
std::u16string_view KeyOnly(std::u16string_view key) {
    while (!key.empty() && key.front() == u'\\') key.remove_prefix(1);
    while (!key.empty() && key.back() == u'\\') key.remove_suffix(1);
    return key;
}

std::optional<uint32_t> ParseDword(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string RegistryFilePath() {
    return DataFolder() + "registry.ini";
}

std::optional<uint32_t> FindRegistryDword(std::string_view fileText, std::u16string_view keyPath,
                                          std::u16string_view valueName) {
    const std::u16string_view wantedKey = KeyOnly(keyPath);
    bool inKey = false;
    std::optional<uint32_t> found;
    while (!fileText.empty()) {
        const size_t end = fileText.find('\n');
        std::string_view line = Trim(fileText.substr(0, end));
        fileText.remove_prefix(end == std::string_view::npos ? fileText.size() : end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                inKey = false;
                continue;
            }
            const std::u16string key = FromUtf8(Trim(line.substr(1, line.size() - 2)));
            inKey = EqualNoCase(KeyOnly(key), wantedKey);
            continue;
        }
        if (!inKey) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!EqualNoCase(FromUtf8(Trim(line.substr(0, equals))), valueName)) continue;
        // The last line of a value wins, as a later write would.
        found = ParseDword(Trim(line.substr(equals + 1)));
    }
    return found;
}

std::optional<uint32_t> ReadRegistryDword(std::u16string_view keyPath,
                                          std::u16string_view valueName) {
    std::ifstream file(RegistryFilePath(), std::ios::binary);
    if (!file) return std::nullopt;
    std::string text(kRegistryFileMax, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    return FindRegistryDword(text, keyPath, valueName);
}

}  // namespace zul
