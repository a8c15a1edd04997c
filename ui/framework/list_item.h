// ListItem: a selectable thing on a page (a group header, a contact, an account, an event).
#pragma once

#include <QRect>
#include <cstdint>

namespace zul {

class ViewPage;

class ListItem {
  public:
    // What activating the item does.
    enum Kind : uint8_t {
        kTogglesInPlace = 2,  // a group header: opens or closes in place
        kOpensPage = 3,       // a contact or an account: opens a page
        kInert = 4,           // a history event: nothing
    };

    explicit ListItem(uint8_t kind) : kind_(kind) {}
    virtual ~ListItem() = default;

    uint8_t Kind() const { return kind_; }

    // The rectangle in page coordinates; empty while the item is not laid out.
    const QRect& Rect() const { return rect_; }
    void SetRect(const QRect& rect) { rect_ = rect; }
    void ClearRect() { rect_ = QRect(); }
    // Edges as the layouts count them: right and bottom are one past the last pixel.
    int Left() const { return rect_.x(); }
    int Top() const { return rect_.y(); }
    int Right() const { return rect_.x() + rect_.width(); }
    int Bottom() const { return rect_.y() + rect_.height(); }

    // Runs the item: a page to open for kind 3, the toggle for kind 2. mode tells how it
    // was reached (kByPointer or kByKey).
    virtual ViewPage* Activate(int mode) { return nullptr; }

    static constexpr int kByPointer = 0;
    static constexpr int kByKey = 1;

  private:
    QRect rect_;
    uint8_t kind_;
};

}  // namespace zul
