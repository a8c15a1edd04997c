#include "ui/views/contact_order.h"

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

}  // namespace zul
