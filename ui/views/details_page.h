// ContactDetailsPage: what is known about one contact, as a page that slides in over the list
// or the chat. Its picture at the top, then the fields: what the profile keeps (nickname,
// login, group, status) at once, and what the server tells (the ICQ directory entry, the
// profile and away message) as it arrives. The account is asked when the page opens and again
// on "Refresh"; session threads only fill the account's copy, which the page reads on ticks.
#pragma once

#include <QImage>
#include <QString>
#include <vector>

#include "storage/contacts.h"
#include "ui/framework/view_page.h"

namespace zul {

class ContactDetailsPage : public ViewPage {
  public:
    static constexpr int kCmdRefresh = 50100;

    explicit ContactDetailsPage(ContactPtr contact);

    const ContactPtr& Contact() const { return contact_; }
    // Shows another contact (the page is reused) and asks for its details.
    void SetContact(ContactPtr contact);
    // The label and text of each field as shown now.
    struct Field {
        QString label, value;
        QRect rect;
    };
    const std::vector<Field>& Fields() const { return fields_; }
    // Asks the account for the details again.
    void Refresh();

    // ViewPage.
    bool ChangedSinceLastPaint() override;
    int ContentHeight() override { return contentHeight_; }
    void LayoutContent(int width) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    void AddedToHost() override;
    bool LeftSoftKey(QString& label) override;
    void FillLeftKeyPopup(QMenu& menu) override;
    void Command(int id) override;
    bool GoBack() override;
    void OnKey(int key) override;

  private:
    // The fields from the contact and the account's details.
    void CollectFields();

    ContactPtr contact_;
    std::vector<Field> fields_;
    QImage picture_;
    QRect pictureRect_;
    uint32_t detailsVersion_ = 0;
    uint32_t pictureVersion_ = 0;
    int contentHeight_ = 0;
};

// A country of the directory by its code (mostly the telephone code), as the locale names
// it; the number itself when it is not known.
QString CountryName(int code);

}  // namespace zul
