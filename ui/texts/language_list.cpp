#include "ui/texts/language_list.h"

#include <QDir>
#include <QLocale>
#include <QString>
#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "platform/paths.h"

namespace zul {
namespace {

std::vector<std::unique_ptr<LanguageEntry>> g_list;
uint16_t g_current = 0;
bool g_platformAsked = false;
uint16_t g_platformOverride = 0;

std::unique_ptr<LanguageEntry> BuiltinEntry() {
    auto entry = std::make_unique<LanguageEntry>();
    entry->name = u"English";
    entry->id = kBuiltinLanguageId;
    return entry;
}

// Two entries with different identifiers share a low byte.
bool Ambiguous() {
    for (size_t i = 0; i < g_list.size(); ++i)
        for (size_t j = i + 1; j < g_list.size(); ++j)
            if (g_list[i]->id != g_list[j]->id && (g_list[i]->id & 0xFF) == (g_list[j]->id & 0xFF))
                return true;
    return false;
}

int MatchIndex(uint16_t id) {
    const bool exact = Ambiguous();
    for (size_t i = 0; i < g_list.size(); ++i) {
        const uint16_t e = g_list[i]->id;
        if (exact ? e == id : (e & 0xFF) == (id & 0xFF)) return static_cast<int>(i);
    }
    return -1;
}

struct LocaleId {
    const char* name;  // language, or language_COUNTRY
    uint16_t id;
};

// Primary languages with their default sublanguage, then the country variants that differ.
constexpr LocaleId kLocaleIds[] = {
    {"ar", 0x0401},    {"bg", 0x0402},    {"ca", 0x0403},    {"zh", 0x0804},    {"cs", 0x0405},
    {"da", 0x0406},    {"de", 0x0407},    {"el", 0x0408},    {"en", 0x0409},    {"es", 0x0C0A},
    {"fi", 0x040B},    {"fr", 0x040C},    {"he", 0x040D},    {"hu", 0x040E},    {"is", 0x040F},
    {"it", 0x0410},    {"ja", 0x0411},    {"ko", 0x0412},    {"nl", 0x0413},    {"nb", 0x0414},
    {"no", 0x0414},    {"nn", 0x0814},    {"pl", 0x0415},    {"pt", 0x0816},    {"ro", 0x0418},
    {"ru", 0x0419},    {"hr", 0x041A},    {"sk", 0x041B},    {"sq", 0x041C},    {"sv", 0x041D},
    {"th", 0x041E},    {"tr", 0x041F},    {"id", 0x0421},    {"uk", 0x0422},    {"be", 0x0423},
    {"sl", 0x0424},    {"et", 0x0425},    {"lv", 0x0426},    {"lt", 0x0427},    {"vi", 0x042A},
    {"sr", 0x0C1A},    {"kk", 0x043F},    {"ka", 0x0437},    {"zh_TW", 0x0404}, {"zh_HK", 0x0C04},
    {"zh_SG", 0x1004}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"en_GB", 0x0809},
    {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09},
    {"en_IN", 0x4009}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C},
    {"fr_CH", 0x100C}, {"it_CH", 0x0810}, {"nl_BE", 0x0813}, {"pt_BR", 0x0416}, {"sv_FI", 0x081D},
    {"ru_UA", 0x0419},
};

}  // namespace

void BuildLanguageList(uint16_t current) {
    FreeLanguageList();
    g_list.push_back(BuiltinEntry());
    SetCurrentUiLanguage(current);

    const std::string folder = ProgramFolder();
    if (folder.empty()) return;
    const QDir dir(QString::fromStdString(folder));
    const QStringList files =
        dir.entryList({QStringLiteral("qan.dll.*.mui")},
                      QDir::Files | QDir::Readable | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& file : files) {
        const std::string path = dir.filePath(file).toStdString();
        std::string error;
        std::unique_ptr<LanguageModule> module = LanguageModule::Load(path, &error);
        if (!module) {
            WriteLog(kGeneralLog,
                     u"BuildLanguageList(): " +
                         QString::fromStdString(path + " is no language module (" + error + ")")
                             .toStdU16String());
            g_list.push_back(BuiltinEntry());
            continue;
        }
        auto entry = std::make_unique<LanguageEntry>();
        entry->modulePath = path;
        entry->name = module->String(LanguageModule::kNameStringId).value_or(u"");
        if (entry->name.size() > 200) entry->name.resize(200);
        entry->id = module->LanguageId();
        entry->module = std::move(module);
        g_list.push_back(std::move(entry));
    }
}

const std::vector<std::unique_ptr<LanguageEntry>>& LanguageList() {
    return g_list;
}

const LanguageEntry* FindLanguage(uint16_t id) {
    const int i = MatchIndex(id);
    return i < 0 ? nullptr : g_list[static_cast<size_t>(i)].get();
}

int LanguageIndex(uint16_t id) {
    return std::max(0, MatchIndex(id));
}

uint16_t LanguageIdAt(int position) {
    if (position < 0 || position >= static_cast<int>(g_list.size())) return 0;
    return g_list[static_cast<size_t>(position)]->id;
}

void FreeLanguageList() {
    g_list.clear();
}

uint16_t CurrentUiLanguage() {
    if (g_current == 0) g_current = PlatformUiLanguage();
    return g_current;
}

void SetCurrentUiLanguage(uint16_t id) {
    g_current = id;
}

uint16_t LanguageIdForLocale(const std::string& name) {
    std::string n = name.substr(0, name.find_first_of(".@"));
    std::replace(n.begin(), n.end(), '-', '_');
    const std::string language = n.substr(0, n.find('_'));
    uint16_t primary = 0;
    for (const LocaleId& e : kLocaleIds) {
        if (n == e.name) return e.id;
        if (language == e.name) primary = e.id;
    }
    return primary;
}

uint16_t PlatformUiLanguage() {
    if (g_platformOverride != 0) return g_platformOverride;
    static uint16_t asked = 0;
    if (!g_platformAsked) {
        const QStringList languages = QLocale::system().uiLanguages();
        const QString first = languages.isEmpty() ? QLocale::system().name() : languages.first();
        asked = LanguageIdForLocale(first.toStdString());
        if (asked == 0) asked = 0x0409;
        g_platformAsked = true;
    }
    return asked;
}

void OverridePlatformUiLanguage(uint16_t id) {
    g_platformOverride = id;
}

}  // namespace zul
