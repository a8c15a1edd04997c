// What the files of the contact list page share: its text identifiers, the avatar cache limit
// and the layout rules of the row sizes and views.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "storage/options.h"
#include "ui/views/contact_list_page.h"

namespace zul::clist {

constexpr int kTextContacts = 112;
constexpr int kTextView = 120;
constexpr int kTextDeleteContact = 119;
constexpr int kTextRenameTitle = 305;
constexpr int kTextNicknameLabel = 306;
constexpr int kTextAddTitle = 307;
constexpr int kTextLoginLabel = 308;
constexpr int kTextGroupLabel = 309;
constexpr int kTextReasonLabel = 310;
constexpr int kTextReasonDefault = 311;
constexpr int kTextAccountLabel = 312;
constexpr int kTextGrant = 313;
constexpr int kTextDeny = 314;
constexpr int kTextAskAgain = 323;
constexpr int kTextMoveToGroup = 324;
constexpr int kTextMoveTitle = 325;
constexpr int kTextNewGroup = 326;
constexpr int kTextNickname = 328;
constexpr int kTextEmail = 330;
constexpr int kTextFindTitle = 349;
constexpr int kTextByNumber = 353;
constexpr int kTextSearchBy = 354;
constexpr int kTextSearchFor = 355;
constexpr int kTextRenameGroup = 356;
constexpr int kTextDeleteGroup = 357;
constexpr int kTextAddGroup = 358;
constexpr int kTextGroupTitle = 359;
constexpr int kTextWhereToMove = 360;
constexpr int kTextDeleteEmptyGroup = 361;
constexpr int kTextUnreadCount = 362;
constexpr int kTextNoneOnline = 301;
constexpr int kTextRooms = 1119;
// Decoded avatars kept at a time; the others are decoded again when drawn.
constexpr size_t kAvatarCacheLimit = 256;

inline int RowLevel() {
    return std::clamp<int32_t>(Options().ClistTextSize, 0, 4);
}

inline bool TwoLineLayout(int view) {
    return view == kLayoutTiles || view == kLayoutDetails;
}
inline bool TwoColumnLayout(int view) {
    return view == kLayoutTiles || view == kLayoutIcons;
}

}  // namespace zul::clist
