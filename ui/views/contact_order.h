// Which contacts the contact list shows and in which order. Each ordering is one comparison
// function that reads as its precedence list: the first rule that separates two contacts
// decides, and every list ends in the name rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zul {

class CContact;

// What the list knows of a contact when it sorts and filters, taken once per rebuild.
struct ContactSortKey {
    std::u16string name;  // display name
    int32_t localID = 0;
    int32_t status = -1;   // -1 offline
    int32_t unread = 0;    // unread messages
    int32_t messages = 0;  // messages in the profile
    bool justCameOnline = false;
    bool typing = false;
    bool chatOpen = false;  // the contact's chat page is in the window

    bool Online() const { return status != -1; }
    bool HasUnread() const { return unread > 0; }
    bool Attention() const { return HasUnread() || justCameOnline || typing; }
};

// The key of a contact as it is now.
ContactSortKey SortKeyOf(const CContact& contact, bool chatOpen);

// Whether the contact is listed: offline contacts shown, or online, or with a reason to stay.
bool IsListed(const ContactSortKey& key, bool showOffline);

// ClistSortType values.
enum ContactSortType : int { kSortByStatus = 0, kSortByActivity = 1, kSortByName = 2 };

// The orderings: negative when a comes first, positive when b does, 0 for the same contact.
// E = ClistEventsOnTop, S = ClistSeparateOffline.
int CompareByName(const ContactSortKey& a, const ContactSortKey& b, bool E, bool S);
int CompareByStatus(const ContactSortKey& a, const ContactSortKey& b, bool E, bool S);
int CompareByActivity(const ContactSortKey& a, const ContactSortKey& b, bool E, bool S);

// The ordering chosen by the sort type (any other value sorts by activity, the default).
int CompareContacts(const ContactSortKey& a, const ContactSortKey& b, int sortType, bool E, bool S);

// The settings that decide the sections and their order.
struct ListShape {
    int sort = kSortByActivity;
    bool eventsOnTop = true;
    bool separateOffline = true;
    bool groups = true;
    bool emptyGroups = false;
    bool showOffline = true;
};

// A contact of the store as the planning sees it.
struct ListEntry {
    ContactSortKey key;
    std::u16string group;  // its group's name
};

// One section of the list: a group header (or none) and the contacts under it.
struct PlannedSection {
    int group = -1;               // index into the group names; -1 has no header
    std::vector<size_t> members;  // listed entries, in order
    int total = 0;                // every entry of the group, listed or not
    int offline = 0;              // of them offline
};

// The sections in display order. Without groups: one section of every listed entry. With
// groups: first the listed entries whose group has no header, then one section per group name
// (names match without case; the first of equal names has the header), an empty one only with
// emptyGroups. `headed`, when given, gets the index of every group that has a header.
std::vector<PlannedSection> PlanSections(const std::vector<ListEntry>& entries,
                                         const std::vector<std::u16string>& groups,
                                         const ListShape& shape,
                                         std::vector<int>* headed = nullptr);

}  // namespace zul
