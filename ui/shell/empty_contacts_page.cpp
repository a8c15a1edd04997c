#include "ui/shell/empty_contacts_page.h"

#include "ui/shell/ui_resources.h"

namespace zul {
namespace {
constexpr int kStrContacts = 112;
constexpr int kStrNoneOnline = 301;
}  // namespace

EmptyContactsPage::EmptyContactsPage() {
    Caption().SetTitle(UiText(kStrContacts));
}

QString EmptyContactsPage::EmptyText() {
    return UiText(kStrNoneOnline);
}

bool EmptyContactsPage::LeftSoftKey(QString& label) {
    label = UiText(kStrContacts);
    return false;
}

}  // namespace zul
