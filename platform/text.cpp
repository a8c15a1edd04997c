#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace zul {
namespace {

std::string CodePageName(int codePage) {
    if (codePage == 0) codePage = DefaultAnsiCodePage();
    if (codePage == kCodePageUtf8) return "UTF-8";
    return "CP" + std::to_string(codePage);
}

// Runs one whole conversion; returns false when the input holds a sequence the target
// cannot represent (or the converter cannot be opened) and `lossy` is false.
bool Convert(const char* to, const char* from, const char* in, size_t inLen, std::string& out,
             bool lossy, const char* replacement, size_t replacementLen, size_t inUnit) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    std::vector<char> buf(inLen * 4 + 16);
    char* src = const_cast<char*>(in);
    size_t srcLeft = inLen;
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = buf.data();
        size_t dstLeft = buf.size();
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), buf.size() - dstLeft);
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (!lossy) {
            ok = false;
            break;
        }
        // Invalid or incomplete input: emit the replacement and skip one input unit.
        out.append(replacement, replacementLen);
        size_t skip = srcLeft < inUnit ? srcLeft : inUnit;
        src += skip;
        srcLeft -= skip;
    }
    iconv_close(cd);
    return ok;
}

std::string U16Bytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

std::u16string FromU16Bytes(const std::string& bytes) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

const char kReplacementLE[] = "\xFD\xFF";  // U+FFFD, little-endian

locale_t FoldingLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

char16_t Fold(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    locale_t loc = FoldingLocale();
    if (!loc) return c;
    wint_t lower = towlower_l(static_cast<wint_t>(c), loc);
    return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

}  // namespace

int DefaultAnsiCodePage() {
    if (const char* forced = std::getenv("ZUL_ANSI_CODEPAGE"); forced && *forced) {
        int cp = std::atoi(forced);
        if (cp > 0) return cp;
    }
    const char* lang = nullptr;
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            lang = v;
            break;
        }
    }
    if (!lang) return 1252;
    std::string code(lang, strnlen(lang, 2));
    static const struct {
        const char* lang;
        int cp;
    } table[] = {
        {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251}, {"sr", 1251}, {"mk", 1251},
        {"kk", 1251}, {"pl", 1250}, {"cs", 1250}, {"sk", 1250}, {"hu", 1250}, {"sl", 1250},
        {"hr", 1250}, {"ro", 1250}, {"sq", 1250}, {"el", 1253}, {"tr", 1254}, {"az", 1254},
        {"he", 1255}, {"ar", 1256}, {"fa", 1256}, {"ur", 1256}, {"et", 1257}, {"lv", 1257},
        {"lt", 1257}, {"vi", 1258}, {"th", 874},  {"ja", 932},  {"zh", 936},  {"ko", 949},
    };
    for (const auto& e : table) {
        if (code == e.lang) return e.cp;
    }
    return 1252;
}

std::optional<std::string> WideToMultiByte(std::u16string_view text, int codePage) {
    std::string in = U16Bytes(text);
    std::string out;
    if (!Convert(CodePageName(codePage).c_str(), "UTF-16LE", in.data(), in.size(), out, false,
                 nullptr, 0, 2)) {
        return std::nullopt;
    }
    return out;
}

namespace {

// The code pages whose first 128 codes are ASCII's: UTF-8, the Windows "ANSI" pages, the ISO
// 8859 pages and KOI8. (UTF-7, UTF-16 and the EBCDIC pages are not.)
bool KeepsAscii(int codePage) {
    return codePage == kCodePageUtf8 || codePage == 874 || codePage == 932 || codePage == 936 ||
           codePage == 949 || codePage == 950 || (codePage >= 1250 && codePage <= 1258) ||
           (codePage >= 28591 && codePage <= 28605) || codePage == 20866 || codePage == 21866;
}

bool IsAscii(std::string_view bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::u16string MultiByteToWide(std::string_view bytes, int codePage) {
    // Logins, mood names and most texts on the wire are plain ASCII: no converter is needed.
    if (IsAscii(bytes) && KeepsAscii(codePage == 0 ? DefaultAnsiCodePage() : codePage)) {
        return std::u16string(bytes.begin(), bytes.end());
    }
    std::string out;
    Convert("UTF-16LE", CodePageName(codePage).c_str(), bytes.data(), bytes.size(), out, true,
            kReplacementLE, 2, 1);
    return FromU16Bytes(out);
}

std::string ToUtf8(std::u16string_view text) {
    std::string in = U16Bytes(text);
    std::string out;
    Convert("UTF-8", "UTF-16LE", in.data(), in.size(), out, true, "\xEF\xBF\xBD", 3, 2);
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    return MultiByteToWide(text, kCodePageUtf8);
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = Fold(a[i]), y = Fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::u16string FoldNoCase(std::u16string_view text) {
    std::u16string folded(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) folded[i] = Fold(text[i]);
    return folded;
}

std::u16string LoginKey(std::u16string_view login) {
    std::u16string compact;
    compact.reserve(login.size());
    for (char16_t c : login) {
        if (c != u' ') compact.push_back(c);
    }
    return FoldNoCase(compact);
}

bool SameLogin(std::u16string_view a, std::u16string_view b) {
    size_t i = 0, j = 0;
    for (;;) {
        while (i < a.size() && a[i] == u' ') ++i;
        while (j < b.size() && b[j] == u' ') ++j;
        if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
        if (Fold(a[i++]) != Fold(b[j++])) return false;
    }
}

int32_t WideToInt(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    long long v = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        v = v * 10 + (text[i] - u'0');
        if (v > (1LL << 32)) v = 1LL << 32;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

std::u16string FormatInt(std::u16string_view format, long long value) {
    std::u16string out;
    bool used = false;
    for (size_t i = 0; i < format.size(); ++i) {
        char16_t c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out.push_back(c);
            continue;
        }
        if (format[i + 1] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool zero = false;
        int width = 0;
        if (j < format.size() && format[j] == u'0') {
            zero = true;
            ++j;
        }
        while (j < format.size() && format[j] >= u'0' && format[j] <= u'9' && width < 64) {
            width = width * 10 + (format[j++] - u'0');
        }
        if (j >= format.size() || used) {
            out.push_back(c);
            continue;
        }
        char16_t conv = format[j];
        std::string digits;
        if (conv == u'd' || conv == u'i') {
            digits = std::to_string(value);
        } else if (conv == u'u') {
            digits = std::to_string(static_cast<unsigned long long>(value) & 0xFFFFFFFFull);
        } else if (conv == u'X' || conv == u'x') {
            char buf[32];
            std::snprintf(buf, sizeof buf, conv == u'X' ? "%llX" : "%llx",
                          static_cast<unsigned long long>(value) & 0xFFFFFFFFull);
            digits = buf;
        } else {
            out.push_back(c);
            continue;
        }
        while (static_cast<int>(digits.size()) < width) digits.insert(0, 1, zero ? '0' : ' ');
        out += Widen(digits);
        used = true;
        i = j;
    }
    return out;
}

std::u16string Widen(std::string_view ascii) {
    std::u16string out;
    out.reserve(ascii.size());
    for (char c : ascii) out.push_back(static_cast<unsigned char>(c));
    return out;
}

}  // namespace zul
