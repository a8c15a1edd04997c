#include "platform/resources.h"

#include <mutex>

#include "platform/text.h"
#include "resources/core/builtin_strings.h"

namespace zul {
namespace {
std::mutex g_mutex;
StringSource g_source;
}  // namespace

std::optional<std::u16string> BuiltinString(int id) {
    for (const auto& e : kBuiltinStrings) {
        if (e.id == id) return std::u16string(e.text);
    }
    return std::nullopt;
}

std::u16string ResString(int id) {
    std::optional<std::u16string> text;
    {
        std::lock_guard lock(g_mutex);
        if (g_source) text = g_source(id);
    }
    if (!text) text = BuiltinString(id);
    if (!text) return std::u16string();
    if (text->size() > kResStringMax) text->resize(kResStringMax);
    return *text;
}

void SetStringSource(StringSource source) {
    std::lock_guard lock(g_mutex);
    g_source = std::move(source);
}

std::u16string AppTitle() {
    return u"zul " + Widen(ZUL_VERSION_TEXT);
}

}  // namespace zul
