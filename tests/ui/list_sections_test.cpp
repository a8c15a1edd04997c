// The contact list's sections planned from plain values, without a window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/views/contact_order.h"

namespace zul {
namespace {

ListEntry Entry(std::u16string name, std::u16string group, bool online, int32_t id) {
    ListEntry e;
    e.key.name = std::move(name);
    e.key.localID = id;
    e.key.status = online ? 0 : -1;
    e.group = std::move(group);
    return e;
}

std::vector<std::u16string> Names(const std::vector<ListEntry>& entries,
                                  const PlannedSection& section) {
    std::vector<std::u16string> names;
    for (size_t i : section.members) names.push_back(entries[i].key.name);
    return names;
}

TEST(ListSections, GroupsMatchWithoutCaseAndLooseContactsComeFirst) {
    const std::vector<ListEntry> entries = {
        Entry(u"Zed", u"friends", true, 1), Entry(u"Ann", u"Friends", true, 2),
        Entry(u"Bob", u"Nowhere", true, 3), Entry(u"Cid", u"Work", false, 4),
        Entry(u"Dan", u"Work", true, 5)};
    const std::vector<std::u16string> groups = {u"Friends", u"FRIENDS", u"Work", u"Empty"};
    ListShape shape;
    shape.sort = kSortByName;
    shape.showOffline = false;
    std::vector<int> headed;
    const auto plan = PlanSections(entries, groups, shape, &headed);

    EXPECT_EQ(headed, (std::vector<int>{0, 2, 3}));  // the second "friends" has no header
    ASSERT_EQ(plan.size(), 3u);                      // "Empty" is left out
    EXPECT_EQ(plan[0].group, -1);
    EXPECT_EQ(Names(entries, plan[0]), (std::vector<std::u16string>{u"Bob"}));
    EXPECT_EQ(plan[1].group, 0);
    EXPECT_EQ(Names(entries, plan[1]), (std::vector<std::u16string>{u"Ann", u"Zed"}));
    EXPECT_EQ(plan[2].group, 2);
    // The hidden offline contact still counts in its group.
    EXPECT_EQ(Names(entries, plan[2]), (std::vector<std::u16string>{u"Dan"}));
    EXPECT_EQ(plan[2].total, 2);
    EXPECT_EQ(plan[2].offline, 1);

    shape.emptyGroups = true;
    const auto withEmpty = PlanSections(entries, groups, shape);
    ASSERT_EQ(withEmpty.size(), 4u);
    EXPECT_EQ(withEmpty[3].group, 3);
    EXPECT_TRUE(withEmpty[3].members.empty());
}

TEST(ListSections, WithoutGroupsOneSectionHoldsEveryListedContactInOrder) {
    const std::vector<ListEntry> entries = {Entry(u"Cid", u"Work", false, 1),
                                            Entry(u"Ann", u"Friends", true, 2),
                                            Entry(u"Bob", u"", true, 3)};
    ListShape shape;
    shape.groups = false;
    shape.sort = kSortByStatus;
    std::vector<int> headed = {7};
    const auto plan = PlanSections(entries, {u"Work", u"Friends"}, shape, &headed);
    EXPECT_TRUE(headed.empty());
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].group, -1);
    EXPECT_EQ(Names(entries, plan[0]), (std::vector<std::u16string>{u"Ann", u"Bob", u"Cid"}));
}

}  // namespace
}  // namespace zul
