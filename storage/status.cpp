#include "storage/status.h"

#include <algorithm>
#include <iterator>

#include "platform/resources.h"
#include "platform/text.h"

namespace zul {
namespace {

constexpr int kTypeUnresolved = 1;
constexpr int kTypeXmpp = 2;
constexpr int kTypeIcq = 11;
constexpr int kTypeAim = 12;

struct Mood {
    const char16_t* name;
    int icon;
};

constexpr Mood kMoods[kMoodCount] = {
    {u"Shopping", 218},
    {u"Taking a bath", 219},
    {u"Tired", 220},
    {u"Party", 221},
    {u"Drinking beer", 222},
    {u"Thinking", 223},
    {u"Eating", 224},
    {u"Watching TV", 225},
    {u"Meeting", 226},
    {u"Coffee", 227},
    {u"Listening to music", 228},
    {u"Business", 229},
    {u"Shooting", 230},
    {u"Having fun", 231},
    {u"On the phone", 232},
    {u"Gaming", 233},
    {u"Studying", 234},
    {u"Feeling sick", 235},
    {u"Sleeping", 236},
    {u"Surfing", 237},
    {u"Browsing", 238},
    {u"Working", 239},
    {u"Typing", 240},
    {u"Angry", 217},
};

struct StatusRow {
    int32_t status;
    int nameId;
    int icqIcon;
    int aimIcon;
};

// The first row also serves every code that is not listed.
constexpr StatusRow kStatuses[] = {
    {kStatusAvailable, 12000, 175, 183},    {kStatusOffline, 12007, 176, 184},
    {kStatusAway, 12001, 177, 185},         {kStatusDnd, 12003, 181, 185},
    {kStatusNotAvailable, 12002, 180, 185}, {kStatusOccupied, 12005, 182, 185},
    {kStatusFreeForChat, 12004, 178, 183},  {kStatusInvisible, 12006, 179, 186},
    {kStatusEating, 12009, 224, 185},       {kStatusAngry, 12010, 217, 185},
    {kStatusDepression, 12011, 235, 185},   {kStatusAtHome, 12012, 175, 183},
    {kStatusAtWork, 12013, 239, 185},
};

const StatusRow& RowOf(int32_t status) {
    for (const StatusRow& row : kStatuses)
        if (row.status == status) return row;
    return kStatuses[0];
}

bool IsMood(int32_t mood) {
    return mood >= 0 && mood < kMoodCount;
}

struct CommandRow {
    int command;
    int32_t status;
};

constexpr CommandRow kCommands[] = {
    {kCmdStatusAvailable, kStatusAvailable},
    {kCmdStatusAway, kStatusAway},
    {kCmdStatusNotAvailable, kStatusNotAvailable},
    {kCmdStatusOccupied, kStatusOccupied},
    {kCmdStatusDnd, kStatusDnd},
    {kCmdStatusFreeForChat, kStatusFreeForChat},
    {kCmdStatusInvisible, kStatusInvisible},
    {kCmdStatusOffline, kStatusOffline},
};

}  // namespace

int EffectiveAccountType(int type, std::u16string_view login) {
    if (type != kTypeUnresolved) return type;
    for (char16_t c : login)
        if (c < u'0' || c > u'9') return kTypeAim;
    return kTypeIcq;
}

std::u16string AccountTypeName(int type) {
    switch (type) {
        case kTypeXmpp:
            return u"XMPP";
        case kTypeIcq:
            return u"ICQ";
        case kTypeAim:
            return u"AIM";
        default:
            return std::u16string();
    }
}

std::u16string AccountTitle(int type, std::u16string_view text) {
    std::u16string title = AccountTypeName(type);
    title += u' ';
    title += text;
    return title;
}

std::u16string StatusName(int type, int32_t status) {
    if (status == kStatusInvisible && type == kTypeAim) return ResString(12008);
    return ResString(RowOf(status).nameId);
}

std::u16string StatusWithIdle(int type, int32_t status, uint32_t idleSince, uint32_t now) {
    std::u16string text = StatusName(type, status);
    if (idleSince == 0 || status == kStatusOffline || now < idleSince) return text;
    const uint32_t minutes = std::max<uint32_t>((now - idleSince) / 60, 1);
    const bool hours = minutes >= 120;
    text += u", ";
    text += FormatInt(ResString(hours ? 369 : 368), hours ? minutes / 60 : minutes);
    return text;
}

int StatusIcon(int type, int32_t status, int32_t mood) {
    if (IsMood(mood)) return kMoods[mood].icon;
    if (type == kTypeIcq) return RowOf(status).icqIcon;
    if (type == kTypeAim) return RowOf(status).aimIcon;
    return 0;
}

std::u16string MoodName(int32_t mood) {
    if (mood == kMoodNone) return std::u16string();
    if (!IsMood(mood)) return u"unknown mood";
    return kMoods[mood].name;
}

int MoodIcon(int32_t mood) {
    return IsMood(mood) ? kMoods[mood].icon : 0;
}

int32_t MoodFromWireName(std::u16string_view text) {
    // "icqmood" in any case, then the mood's number as written in decimal (no leading zero).
    constexpr std::u16string_view kPrefix = u"icqmood";
    if (text.size() <= kPrefix.size() || !EqualNoCase(text.substr(0, kPrefix.size()), kPrefix)) {
        return kMoodNone;
    }
    const std::u16string_view digits = text.substr(kPrefix.size());
    if (digits.size() > 2 || (digits.size() > 1 && digits[0] == u'0')) return kMoodNone;
    int32_t mood = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') return kMoodNone;
        mood = mood * 10 + (c - u'0');
    }
    return mood < kMoodCount ? mood : kMoodNone;
}

int32_t StatusFromWire(uint16_t word) {
    switch (word) {
        case kStatusEating:
        case kStatusAngry:
        case kStatusDepression:
        case kStatusAtHome:
        case kStatusAtWork:
            return word;
        default:
            break;
    }
    // The first set bit in this order decides: invisible wins over everything else.
    if (word & 0x0100) return kStatusInvisible;
    if (word & 0x0002) return kStatusDnd;
    if (word & 0x0010) return kStatusOccupied;
    if (word & 0x0004) return kStatusNotAvailable;
    if (word & 0x0001) return kStatusAway;
    if (word & 0x0020) return kStatusFreeForChat;
    return kStatusAvailable;
}

int32_t StatusToWire(int type, int32_t status) {
    if (type != kTypeIcq && type != kTypeAim) return -1;
    switch (status) {
        case kStatusAway:
            return 0x0001;
        case kStatusDnd:
            return 0x0013;
        case kStatusNotAvailable:
            return 0x0005;
        case kStatusOccupied:
            return 0x0011;
        case kStatusFreeForChat:
            return 0x0020;
        case kStatusInvisible:
            return 0x0100;
        default:
            return 0x0000;  // the extended statuses are announced as available
    }
}

std::optional<int32_t> StatusForCommand(int command) {
    for (const CommandRow& row : kCommands)
        if (row.command == command) return row.status;
    return std::nullopt;
}

int RadioCommandForStatus(int32_t status) {
    for (const CommandRow& row : kCommands)
        if (row.status == status) return row.command;
    return 0;
}

std::vector<StatusMenuEntry> StatusMenuEntries(bool withSeparators) {
    return {
        {kCmdStatusAvailable, StatusName(kTypeIcq, kStatusAvailable), false},
        {kCmdStatusFreeForChat, StatusName(kTypeIcq, kStatusFreeForChat), false},
        {kCmdStatusAway, StatusName(kTypeIcq, kStatusAway), withSeparators},
        {kCmdStatusNotAvailable, StatusName(kTypeIcq, kStatusNotAvailable), false},
        {kCmdStatusOccupied, StatusName(kTypeIcq, kStatusOccupied), false},
        {kCmdStatusDnd, StatusName(kTypeIcq, kStatusDnd), false},
        {kCmdStatusInvisible, StatusName(kTypeIcq, kStatusInvisible), withSeparators},
        {kCmdStatusOffline, StatusName(kTypeIcq, kStatusOffline), withSeparators},
    };
}

}  // namespace zul
