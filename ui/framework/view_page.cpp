#include "ui/framework/view_page.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPainter>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <deque>
#include <utility>

#include "ui/framework/drawing.h"
#include "ui/framework/list_item.h"
#include "ui/framework/main_window.h"
#include "ui/framework/page_accessible.h"
#include "ui/framework/page_look.h"

namespace zul {

QAction* AddMenuCommand(QMenu& menu, const QString& text, int id) {
    return InsertMenuCommand(menu, nullptr, text, id);
}

QAction* InsertMenuCommand(QMenu& menu, QAction* before, const QString& text, int id) {
    auto* action = new QAction(text, &menu);
    action->setData(id);
    menu.insertAction(before, action);
    return action;
}

namespace {

// The pages that are not active but keep their surface, the longest inactive first.
std::deque<ViewPage*>& AsidePages() {
    static std::deque<ViewPage*> pages;
    return pages;
}

void ForgetAside(ViewPage* page) {
    auto& aside = AsidePages();
    aside.erase(std::remove(aside.begin(), aside.end(), page), aside.end());
}

}  // namespace

void ViewPage::SetActive(bool active) {
    ForgetAside(this);
    active_ = active;
    if (active) return;  // unparked when painted
    auto& aside = AsidePages();
    aside.push_back(this);
    while (aside.size() > kSurfacesKeptAside) {
        ViewPage* page = aside.front();
        aside.pop_front();
        page->Park();
    }
}

ViewPage::~ViewPage() {
    if (host_ != nullptr) host_->RemovePage(this, MainWindow::kRemoveThenJump);
    // Last: leaving the host may have set the page aside once more.
    ForgetAside(this);
}

int ViewPage::HostWidth() const {
    return host_ != nullptr ? host_->PaneOf(this).width() : 0;
}
int ViewPage::ViewHeight() const {
    return host_ != nullptr ? host_->ViewHeightOf(this) : 0;
}

void ViewPage::Relayout() {
    {
        CanvasLock captionGuard(caption_);
        CanvasLock pageGuard(*this);
        const int width = HostWidth();
        caption_.Layout(width);
        LayoutContent(width);
        // The rows are prepared and the band made where the view is going: a chat that opens
        // at its end is not first drawn at its top.
        const int aim = ViewAim();
        int moved = 0;
        PrepareRows(aim, aim + ViewHeight(), moved);
        if (aim == -contentOffset_) contentOffset_ -= moved;
        const int height = ContentHeight();
        if (width == Width() && height == Height())
            DrawSurface(QRect());
        else
            SetSize(width, height, aim, aim + ViewHeight());  // AfterResize draws
    }
    if (host_ != nullptr) host_->RepaintPage(this);
}

void ViewPage::ScrollTo(int offset, int viewHeight) {
    CanvasLock guard(*this);
    int moved = 0;
    const bool changed = PrepareRows(-offset, -offset + viewHeight, moved);
    contentOffset_ = offset - moved;
    if (Height() != ContentHeight())
        SetSize(Width(), ContentHeight());  // AfterResize draws
    else if (changed)
        DrawSurface(QRect());
    EnsureRows(-contentOffset_, -contentOffset_ + viewHeight);
}

void ViewPage::AfterResize(bool widthChanged, bool heightChanged) {
    if (widthChanged) OnWidthChanged();
    if (heightChanged) OnHeightChanged();
    DrawSurface(QRect());
}

void ViewPage::AfterBandMoved() {
    DrawSurface(QRect());
}

void ViewPage::AfterBandShifted(const QRect& exposed) {
    DrawSurface(exposed);
}

void ViewPage::DrawSurface(const QRect& rect) {
    QImage* surface = Surface();
    if (surface == nullptr) return;
    const QRect band = SurfaceRect();
    const QRect r = rect.isNull() ? band : (rect & band);
    if (r.isEmpty()) return;
    QPainter painter(surface);
    painter.translate(0, -SurfaceTop());
    painter.setClipRect(r);
    painter.fillRect(r, WindowColour());
    DrawRect(painter, r);
    SetDrawn(true);
}

namespace {
bool OnUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}
}  // namespace

void ViewPage::Redraw(const QRect& rect) {
    if (!OnUiThread()) {
        {
            std::lock_guard<std::mutex> guard(pendingLock_);
            if (rect.isNull())
                pendingAll_ = true;
            else
                pendingRect_ |= rect;
        }
        MarkChanged();
        return;
    }
    {
        CanvasLock captionGuard(caption_);
        CanvasLock pageGuard(*this);
        DrawSurface(rect);
    }
    if (host_ != nullptr) host_->RepaintPage(this);
}

namespace {

std::mutex g_repaintMutex;
std::function<void()> g_repaintRequest;

}  // namespace

void ViewPage::RequestRepaint() {
    std::lock_guard lock(g_repaintMutex);
    if (g_repaintRequest) g_repaintRequest();
}

void ViewPage::SetRepaintRequest(std::function<void()> request) {
    std::lock_guard lock(g_repaintMutex);
    g_repaintRequest = std::move(request);
}

bool ViewPage::ChangedSinceLastPaint() {
    if (!changed_.exchange(false)) return false;
    QRect rect;
    bool all = false;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        rect = std::exchange(pendingRect_, QRect());
        all = std::exchange(pendingAll_, false);
    }
    if (all || !rect.isNull()) {
        CanvasLock captionGuard(caption_);
        CanvasLock pageGuard(*this);
        DrawSurface(all ? QRect() : rect);
    }
    return true;
}

void ViewPage::RedrawItem(const ListItem* item) {
    if (item != nullptr && !item->Rect().isEmpty()) Redraw(item->Rect());
}

void ViewPage::FocusItem(ListItem* item) {
    ListItem* old = focused_;
    focused_ = item;
    if (old != nullptr && old != item) RedrawItem(old);
    if (item != nullptr) {
        RedrawItem(item);
        ScrollIntoView(item->Rect(), true);
    }
    if (item != old) NotifyRowFocused(*this, item);
}

void ViewPage::ActivateFocused(int mode) {
    ListItem* item = focused_;
    if (item == nullptr) return;
    if (item->Kind() == ListItem::kOpensPage) {
        if (ViewPage* page = item->Activate(mode)) OpenPage(page);
    } else if (item->Kind() == ListItem::kTogglesInPlace) {
        item->Activate(mode);
        Relayout();
    }
}

void ViewPage::ScrollIntoView(const QRect& rect, bool animated) {
    if (host_ != nullptr) host_->ScrollPageIntoView(this, rect, animated);
}

void ViewPage::ScrollToEnd(bool animated) {
    const int height = ContentHeight();
    if (height > 0) ScrollIntoView(QRect(0, height - 1, 1, 1), animated);
}

bool ViewPage::HostHasFocus() const {
    // Beside another page (two panes) only the one with the keys draws a focused selection.
    return host_ != nullptr && host_->hasFocus() && host_->CurrentPage() == this;
}

void ViewPage::OpenPage(ViewPage* page) {
    if (host_ != nullptr && page != nullptr) host_->AddPage(page, true, true);
}

void ViewPage::OnTap(int x, int y) {
    TapItem(ItemAt(x, y));
}

void ViewPage::OnDoubleTap(int x, int y) {
    DoubleTapItem(ItemAt(x, y));
}

void ViewPage::TapItem(ListItem* item) {
    FocusItem(item);
    if (item != nullptr && !CurrentPageLook().openByDoubleClick)
        ActivateFocused(ListItem::kByPointer);
}

void ViewPage::DoubleTapItem(ListItem* item) {
    FocusItem(item);
    if (item != nullptr) ActivateFocused(ListItem::kByPointer);
}

bool ViewPage::OpenFocusedContextMenu() {
    if (focused_ == nullptr || host_ == nullptr) return false;
    const QPoint centre = focused_->Rect().center();
    const QPoint inWindow(centre.x(), centre.y() + contentOffset_);
    return OnContextGesture(centre.x(), centre.y(), host_->mapToGlobal(inWindow));
}

bool ViewPage::OnContextGesture(int x, int y, const QPoint& globalPos) {
    ListItem* item = ItemAt(x, y);
    if (item == nullptr || host_ == nullptr) return false;
    FocusItem(item);
    auto* menu = new QMenu(host_);
    if (!FillContextMenu(*menu)) {
        delete menu;
        return false;
    }
    host_->ShowContextMenu(this, menu, globalPos);
    return true;
}

void ViewPage::OnKey(int key) {
    switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            ActivateFocused(ListItem::kByKey);
            break;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Left:
        case Qt::Key_Right:
            MoveFocus(key);
            break;
        default:
            break;
    }
}

// Moves the focus to the item at a probe point beside the focused one; at the side of the
// page the host changes page instead.
void ViewPage::MoveFocus(int key) {
    const bool left = key == Qt::Key_Left;
    const bool right = key == Qt::Key_Right;
    if (focused_ == nullptr) {
        if (host_ != nullptr && left) host_->PreviousPage();
        if (host_ != nullptr && right) host_->NextPage();
        if (left || right) return;
        // Just under the caption bar, where the view begins.
        if (ListItem* item = ItemAt(Width() / 4, CaptionHeight() - contentOffset_ + 1))
            FocusItem(item);
        return;
    }
    const ListItem& r = *focused_;
    const int w = r.Rect().width();
    const int h = r.Rect().height();
    QPoint probe;
    switch (key) {
        case Qt::Key_Up:
            probe = {r.Left() + w / 3, r.Top() - h / 2};
            break;
        case Qt::Key_Down:
            probe = {r.Left() + w / 3, r.Bottom() + h / 2};
            break;
        case Qt::Key_Left:
            probe = {r.Left() - w / 3, r.Bottom() - h / 2};
            break;
        default:
            probe = {r.Right() + w / 3, r.Bottom() - h / 2};
            break;
    }
    if (ListItem* item = ItemAt(probe.x(), probe.y())) {
        if (item != focused_) FocusItem(item);
        return;
    }
    if (host_ == nullptr) return;
    if (left || probe.x() < 0)
        host_->PreviousPage();
    else if (right || probe.x() > Width())
        host_->NextPage();
}

void ViewPage::PaintTo(QPainter& painter, const QRect& area, int viewHeight) {
    CanvasLock captionGuard(caption_);
    CanvasLock pageGuard(*this);
    // Surfaces parked or made at another device-pixel ratio are made (and drawn) again first.
    caption_.FollowPixelRatio();
    FollowPixelRatio();
    Unpark(-contentOffset_, -contentOffset_ + viewHeight);
    const int x = area.x();
    const int width = area.width();
    painter.save();
    painter.setClipRect(area, Qt::IntersectClip);
    painter.fillRect(area, WindowColour());
    if (Surface() != nullptr) {
        EnsureRows(-contentOffset_, -contentOffset_ + viewHeight);
        // The rows scroll under the caption bar, never over it (unless the user asked for a
        // see-through bar).
        painter.save();
        if (!CurrentPageLook().captionTransparent)
            painter.setClipRect(QRect(x, CaptionHeight(), width, area.height()), Qt::IntersectClip);
        painter.drawImage(QPoint(x, contentOffset_ + SurfaceTop()), *Surface());
        painter.restore();
    } else {
        const int top = CaptionHeight();
        DrawCentredText(painter, 2, QRect(x, top, width, std::max(0, viewHeight - top)),
                        GreyTextColour(), EmptyText());
    }
    if (QImage* bar = caption_.Surface()) {
        const PageLook look = CurrentPageLook();
        if (look.captionTransparent) painter.setOpacity(look.captionOpacity / 255.0);
        painter.drawImage(QPoint(x, 0), *bar);
        painter.setOpacity(1.0);
    }
    painter.restore();
}

}  // namespace zul
