#include "ui/texts/language_module.h"

#include <QFile>
#include <QString>
#include <QStringDecoder>
#include <charconv>

namespace zul {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A whole decimal number, or "0x" and hexadecimal digits, within [0, limit].
bool ParseNumber(std::string_view text, long limit, long& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > limit) return false;
    value = v;
    return true;
}

// Strict UTF-8 to UTF-16; nothing when the bytes are not UTF-8.
std::optional<std::u16string> DecodeUtf8(std::string_view bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (decoder.hasError()) return std::nullopt;
    return text.toStdU16String();
}

// Resolves the escapes \n, \t and \\ of a value; nothing on any other escape.
std::optional<std::u16string> Unescape(std::u16string_view raw) {
    std::u16string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != u'\\') {
            out.push_back(raw[i]);
            continue;
        }
        if (++i == raw.size()) return std::nullopt;
        switch (raw[i]) {
            case u'n':
                out.push_back(u'\n');
                break;
            case u't':
                out.push_back(u'\t');
                break;
            case u'\\':
                out.push_back(u'\\');
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

// "<resource>.<rest>": the resource number and the rest.
bool SplitResourceKey(std::string_view key, long& resource, std::string_view& rest) {
    const size_t dot = key.find('.');
    if (dot == std::string_view::npos) return false;
    rest = key.substr(dot + 1);
    return !rest.empty() && ParseNumber(key.substr(0, dot), 0xFFFF, resource);
}

}  // namespace

std::unique_ptr<LanguageModule> LanguageModule::Load(const std::string& path, std::string* error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = "cannot be opened";
        return nullptr;
    }
    if (file.size() > static_cast<qint64>(kMaxFileBytes)) {
        if (error) *error = "too large";
        return nullptr;
    }
    const QByteArray bytes = file.read(static_cast<qint64>(kMaxFileBytes) + 1);
    if (bytes.size() > static_cast<qsizetype>(kMaxFileBytes)) {
        if (error) *error = "too large";
        return nullptr;
    }
    return Parse(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), error);
}

std::unique_ptr<LanguageModule> LanguageModule::Parse(std::string_view bytes, std::string* error) {
    std::string why;
    auto fail = [&](size_t line, const std::string& what) {
        if (error) *error = "line " + std::to_string(line) + ": " + what;
        return nullptr;
    };
    if (bytes.size() > kMaxFileBytes) return fail(0, "too large");
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);

    std::unique_ptr<LanguageModule> module(new LanguageModule());
    std::string section;
    size_t lineNo = 0;
    while (!bytes.empty()) {
        ++lineNo;
        const size_t eol = bytes.find('\n');
        std::string_view line = bytes.substr(0, eol);
        bytes.remove_prefix(eol == std::string_view::npos ? bytes.size() : eol + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') return fail(lineNo, "unclosed section header");
            section = std::string(Trim(line.substr(1, line.size() - 2)));
            if (section != "language" && section != "strings" && section != "menus" &&
                section != "dialogs")
                return fail(lineNo, "unknown section");
            continue;
        }
        if (section.empty()) return fail(lineNo, "entry outside a section");
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail(lineNo, "no '='");
        const std::string_view key = Trim(line.substr(0, eq));
        const std::optional<std::u16string> raw = DecodeUtf8(Trim(line.substr(eq + 1)));
        if (!raw) return fail(lineNo, "not UTF-8");
        std::optional<std::u16string> value = Unescape(*raw);
        if (!value) return fail(lineNo, "unknown escape");
        if (!module->ParseLine(section, key, std::move(*value), why)) return fail(lineNo, why);
    }
    return module;
}

bool LanguageModule::ParseLine(std::string_view section, std::string_view key, std::u16string value,
                               std::string& error) {
    long number = 0;
    if (section == "language") {
        if (key != "id") {
            error = "unknown key";
            return false;
        }
        std::string ascii;
        for (char16_t c : value) ascii.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        if (value.size() > 16 || !ParseNumber(std::string_view(ascii), 0xFFFF, number)) {
            error = "bad language identifier";
            return false;
        }
        languageId_ = static_cast<uint16_t>(number);
        return true;
    }
    if (section == "strings") {
        if (!ParseNumber(key, 0xFFFF, number)) {
            error = "bad string id";
            return false;
        }
        strings_[static_cast<int>(number)] = std::move(value);
        return true;
    }
    std::string_view rest;
    if (!SplitResourceKey(key, number, rest)) {
        error = "bad resource key";
        return false;
    }
    const int resource = static_cast<int>(number);
    long control = 0;
    if (section == "menus") {
        if (ParseNumber(rest, 0xFFFF, control))
            menuCommands_[{resource, static_cast<int>(control)}] = std::move(value);
        else
            menuPopups_[{resource, std::u16string(rest.begin(), rest.end())}] = std::move(value);
        return true;
    }
    // dialogs
    if (rest == "caption") {
        control = 0;
    } else if (!ParseNumber(rest, 0xFFFF, control)) {
        error = "bad control id";
        return false;
    }
    dialogs_[{resource, static_cast<int>(control)}] = std::move(value);
    return true;
}

std::optional<std::u16string> LanguageModule::String(int id) const {
    auto it = strings_.find(id);
    if (it == strings_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::u16string> LanguageModule::MenuText(int menu, int command) const {
    auto it = menuCommands_.find({menu, command});
    if (it == menuCommands_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::u16string> LanguageModule::MenuPopupText(int menu,
                                                            std::u16string_view popup) const {
    auto it = menuPopups_.find({menu, std::u16string(popup)});
    if (it == menuPopups_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::u16string> LanguageModule::DialogText(int dialog, int control) const {
    auto it = dialogs_.find({dialog, control});
    if (it == dialogs_.end()) return std::nullopt;
    return it->second;
}

}  // namespace zul
