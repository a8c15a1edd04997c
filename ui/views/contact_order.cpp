#include "ui/views/contact_order.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/history.h"

namespace zul {
namespace {

// Each rule answers -1 (a first), 1 (b first) or 0 (the rule does not separate them).
int Prefer(bool a, bool b) {
    return a == b ? 0 : (a ? -1 : 1);
}

int UnreadFirst(const ContactSortKey& a, const ContactSortKey& b) {
    return Prefer(a.HasUnread(), b.HasUnread());
}

int AttentionFirst(const ContactSortKey& a, const ContactSortKey& b) {
    return Prefer(a.Attention(), b.Attention());
}

// An offline contact goes last; with events on top only one without attention does.
int OfflineLast(const ContactSortKey& a, const ContactSortKey& b, bool E) {
    auto last = [E](const ContactSortKey& k) { return !k.Online() && !(E && k.Attention()); };
    return Prefer(!last(a), !last(b));
}

int OnlineFirst(const ContactSortKey& a, const ContactSortKey& b) {
    return Prefer(a.Online(), b.Online());
}

// Compared as signed numbers: offline (-1) comes before every online code.
int LowerStatusFirst(const ContactSortKey& a, const ContactSortKey& b) {
    return a.status == b.status ? 0 : (a.status < b.status ? -1 : 1);
}

int MoreMessagesFirst(const ContactSortKey& a, const ContactSortKey& b) {
    return a.messages == b.messages ? 0 : (a.messages > b.messages ? -1 : 1);
}

// Display names with the program's one name comparison; equal names put the higher local
// identifier first.
int NameRule(const ContactSortKey& a, const ContactSortKey& b) {
    const int byName = CompareNoCase(a.name, b.name);
    if (byName != 0) return byName < 0 ? -1 : 1;
    return a.localID == b.localID ? 0 : (a.localID > b.localID ? -1 : 1);
}

}  // namespace

ContactSortKey SortKeyOf(const CContact& contact, bool chatOpen) {
    ContactSortKey key;
    key.name = contact.DisplayName();
    key.localID = contact.LocalID();
    key.status = contact.Status();
    key.unread = contact.History().UnreadCount();
    key.messages = contact.History().MessageCount();
    key.justCameOnline = contact.JustCameOnline();
    key.typing = contact.Typing();
    key.chatOpen = chatOpen;
    return key;
}

bool IsListed(const ContactSortKey& key, bool showOffline) {
    return showOffline || key.Online() || key.justCameOnline || key.HasUnread() || key.typing ||
           key.chatOpen;
}

int CompareByName(const ContactSortKey& a, const ContactSortKey& b, bool E, bool S) {
    if (E) {
        if (int c = UnreadFirst(a, b)) return c;
        if (int c = AttentionFirst(a, b)) return c;
    }
    if (S) {
        if (int c = OfflineLast(a, b, E)) return c;
    }
    return NameRule(a, b);
}

int CompareByStatus(const ContactSortKey& a, const ContactSortKey& b, bool E, bool /*S*/) {
    if (!E) {
        if (int c = OnlineFirst(a, b)) return c;
        if (a.Online() && b.Online()) {
            if (int c = LowerStatusFirst(a, b)) return c;
        }
        return NameRule(a, b);
    }
    if (int c = UnreadFirst(a, b)) return c;
    if (int c = AttentionFirst(a, b)) return c;
    if (a.Online() || b.Online()) {
        if (int c = OfflineLast(a, b, E)) return c;
    }
    if (int c = LowerStatusFirst(a, b)) return c;
    return NameRule(a, b);
}

int CompareByActivity(const ContactSortKey& a, const ContactSortKey& b, bool E, bool S) {
    if (E) {
        if (int c = UnreadFirst(a, b)) return c;
        if (int c = AttentionFirst(a, b)) return c;
    }
    if (S) {
        if (int c = OfflineLast(a, b, E)) return c;
    }
    if (int c = MoreMessagesFirst(a, b)) return c;
    if (E) return CompareByName(a, b, E, S);
    // Without E: S has already put offline contacts last above; the name decides.
    return NameRule(a, b);
}

int CompareContacts(const ContactSortKey& a, const ContactSortKey& b, int sortType, bool E,
                    bool S) {
    switch (sortType) {
        case kSortByStatus:
            return CompareByStatus(a, b, E, S);
        case kSortByName:
            return CompareByName(a, b, E, S);
        default:
            return CompareByActivity(a, b, E, S);
    }
}

std::vector<PlannedSection> PlanSections(const std::vector<ListEntry>& entries,
                                         const std::vector<std::u16string>& groups,
                                         const ListShape& shape, std::vector<int>* headed) {
    std::vector<size_t> listed;
    listed.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        if (IsListed(entries[i].key, shape.showOffline)) listed.push_back(i);
    auto sortMembers = [&](std::vector<size_t>& members) {
        std::stable_sort(members.begin(), members.end(), [&](size_t a, size_t b) {
            return CompareContacts(entries[a].key, entries[b].key, shape.sort, shape.eventsOnTop,
                                   shape.separateOffline) < 0;
        });
    };
    if (headed != nullptr) headed->clear();
    std::vector<PlannedSection> sections;
    if (!shape.groups) {
        sortMembers(listed);
        sections.push_back(PlannedSection{-1, std::move(listed)});
        return sections;
    }

    auto less = [](const std::u16string& a, const std::u16string& b) {
        return CompareNoCase(a, b) < 0;
    };
    std::map<std::u16string, size_t, decltype(less)> byName(less);
    std::vector<PlannedSection> grouped;
    for (size_t g = 0; g < groups.size(); ++g) {
        if (!byName.emplace(groups[g], grouped.size()).second) continue;
        grouped.push_back(PlannedSection{static_cast<int>(g), {}});
        if (headed != nullptr) headed->push_back(static_cast<int>(g));
    }
    for (const ListEntry& entry : entries) {
        auto it = byName.find(entry.group);
        if (it == byName.end()) continue;
        ++grouped[it->second].total;
        if (!entry.key.Online()) ++grouped[it->second].offline;
    }
    PlannedSection loose;
    for (size_t i : listed) {
        auto it = byName.find(entries[i].group);
        (it == byName.end() ? loose : grouped[it->second]).members.push_back(i);
    }
    if (!loose.members.empty()) {
        sortMembers(loose.members);
        sections.push_back(std::move(loose));
    }
    for (PlannedSection& section : grouped) {
        if (section.members.empty() && !shape.emptyGroups) continue;
        sortMembers(section.members);
        sections.push_back(std::move(section));
    }
    return sections;
}

}  // namespace zul
