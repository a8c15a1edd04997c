// The contacts page while the contact list view is not part of the program: it shows the
// caption "Contacts" and the empty text, and takes the store's redraw requests as marks.
#pragma once

#include "storage/contacts.h"
#include "ui/framework/view_page.h"

namespace zul {

class EmptyContactsPage : public ViewPage, public IContactsView {
  public:
    EmptyContactsPage();

    QString EmptyText() override;
    bool LeftSoftKey(QString& label) override;

    void Rebuild() override { MarkChanged(); }
    void RedrawContact(CContact*) override { MarkChanged(); }
    void ItemRemoved(const CContactListItem*) override {}
};

}  // namespace zul
