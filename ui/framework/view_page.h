// ViewPage: the base of every page the main window hosts. A page draws itself into its own
// canvas (content rows in page coordinates, the caption bar's rows at the top included);
// the host copies the canvas to the screen at the page's content offset and lays the
// caption bar over it.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "ui/framework/canvas.h"
#include "ui/framework/caption_bar.h"

class QAction;
class QMenu;
class QPainter;

namespace zul {

class ListItem;
class MainWindow;

// Adds an entry that sends the command id when chosen (menus of pages and of the host).
QAction* AddMenuCommand(QMenu& menu, const QString& text, int id);
QAction* InsertMenuCommand(QMenu& menu, QAction* before, const QString& text, int id);

class ViewPage : public Canvas {
  public:
    ViewPage() = default;
    // Leaves the host first.
    ~ViewPage() override;

    // ---- What a page tells its host -------------------------------------------------
    // Asked on the 200 ms tick while the page is current; the host repaints on true. The
    // default takes the changed mark that MarkChanged sets from any thread and draws what
    // other threads asked to redraw; a page whose model changed elsewhere overrides it to
    // lay itself out again first (and calls this one).
    virtual bool ChangedSinceLastPaint();
    virtual void OnWidthChanged() {}
    virtual void OnHeightChanged() {}
    // Height of the whole page in pixels, the caption bar's rows included; 0 = no content.
    virtual int ContentHeight() { return 0; }
    // Every 1000 ms, for every page of the host, while any page wants it (WantsTicks) or for a
    // while after anything changed or the user did something.
    virtual void SlowTick() {}
    // Something of the page moves with time (a blinking mark, a mark that ages, a typing pause
    // to notice, rows being read elsewhere): the slow tick must go on.
    virtual bool WantsTicks() const { return false; }
    // Asked before keys and taps are handled.
    virtual bool AcceptsInput() { return true; }
    // The context menu of the focused item; false when it has none.
    virtual bool FillContextMenu(QMenu& menu) { return false; }
    virtual void ContextCommand(int id) {}
    // Draws the content rows of rect (page coordinates); the background is already filled.
    virtual void DrawRect(QPainter& painter, const QRect& rect) {}
    // Lays the page out for the host's width: caption bar, LayoutContent, canvas size, draw.
    virtual void Relayout();
    // Places the items for a width; the caption bar is already laid out.
    virtual void LayoutContent(int width) {}
    // Before the content rows [top, bottom) are shown: a page that lays out only what is
    // shown measures them now. Returns whether the layout changed; `moved` is how far the row
    // at `top` moved down, so that the content moves by as much and what is on the screen
    // stays in place.
    virtual bool PrepareRows(int top, int bottom, int& moved) {
        moved = 0;
        return false;
    }
    // The content row the view is about to show at its top when the page is laid out: where it
    // is, unless the page is about to move it (a chat going to its end).
    virtual int ViewAim() { return -contentOffset_; }
    // Screen readers: the page's rows in the order they are shown, and what a row says.
    virtual std::vector<ListItem*> AccessibleItems() { return {}; }
    virtual QString AccessibleText(const ListItem& item) { return {}; }
    // Shown centred while the page has no content.
    virtual QString EmptyText() { return {}; }
    virtual void AddedToHost() {}
    virtual void RemovedFromHost() {}
    virtual void Activated() {}
    virtual void Deactivated() {}
    // The left soft key's label; returns whether the key is enabled.
    virtual bool LeftSoftKey(QString& label) { return false; }
    // Inserts the page's "&View" submenu into the host's Menu popup before the given entry.
    virtual void FillMenuPopup(QMenu& menu, QAction* before) {}
    virtual void FillLeftKeyPopup(QMenu& menu) {}
    virtual bool UsesEditor() { return false; }
    // The shared message editor reports (code 1: confirmed); true empties the editor.
    virtual bool EditorNotification(int code, const QString& text) { return false; }
    // The text of the shared message editor changed (typed, pasted, cleared) while this page
    // is the current one.
    virtual void EditorTextChanged(const QString& text) {}
    // A menu command; every page of the host hears every command the host does not take.
    virtual void Command(int id) {}
    // The item at a point of the page, or nullptr.
    virtual ListItem* ItemAt(int x, int y) { return nullptr; }
    // What a mark at a point of the page means (a status icon, say); empty: no tooltip.
    virtual QString ToolTipAt(int x, int y) { return {}; }

    // Input, in page coordinates, from the host.
    virtual void OnKey(int key);
    // Printable text typed on the page (no editor has the keys); true when taken, and then
    // no OnKey follows for that key.
    virtual bool OnText(const QString& text) { return false; }
    // The pointer left the host window (a finger lifted, or the mouse went away).
    virtual void OnPointerLeave() {}
    virtual void OnTap(int x, int y);
    virtual void OnPress(int x, int y) { pressed_ = true; }
    virtual void OnDoubleTap(int x, int y);
    // Tap-and-hold: focuses the item and opens its context menu at the screen point.
    virtual bool OnContextGesture(int x, int y, const QPoint& globalPos);
    // The Menu key or Shift+F10: the context menu of the focused row, as a hold would open it.
    bool OpenFocusedContextMenu();
    // Escape or Ctrl+W: the page goes back (a chat closes); false when it has nowhere to go.
    virtual bool GoBack() { return false; }
    // The user chose another language: the page takes its texts again and lays itself out.
    virtual void LanguageChanged() { Relayout(); }
    // The host window became active or inactive (also told when the page joins the host).
    virtual void WindowActivationChanged(bool active) {}
    void OnRelease() { pressed_ = false; }

    // ---- Operations ------------------------------------------------------------------
    void SetHost(MainWindow* host) { host_ = host; }
    MainWindow* Host() const { return host_; }
    // The host's current page (or the one sliding away) is active. Of the pages that are not,
    // the kSurfacesKeptAside last active keep their surface (going back to them shows it at
    // once); the others park it until they are painted again. Window thread only.
    void SetActive(bool active);
    bool IsActive() const { return active_; }
    static constexpr size_t kSurfacesKeptAside = 2;

    // Draws rect (page coordinates; a null rect is the whole page) and repaints the screen.
    // Called on another thread it only notes the rect; the next tick draws it.
    void Redraw(const QRect& rect = QRect());
    void RedrawItem(const ListItem* item);
    void FocusItem(ListItem* item);
    ListItem* FocusedItem() const { return focused_; }
    void ActivateFocused(int mode = 0);
    void ScrollIntoView(const QRect& rect, bool animated);
    // Brings the last rows of the content into view (chat pages follow their newest event).
    void ScrollToEnd(bool animated);
    // Appends the page to the host and slides to it.
    void OpenPage(ViewPage* page);
    // Any thread: the page wants to be repainted. The first mark since the last paint asks
    // the host to look (RequestRepaint); nothing polls for it.
    void MarkChanged() {
        if (!changed_.exchange(true)) RequestRepaint();
    }
    // Any thread: asks the window to paint its current page if it changed. The window installs
    // what that does (post itself a call); nothing happens while none is installed. The
    // function runs under a lock and must only post, never wait.
    static void RequestRepaint();
    static void SetRepaintRequest(std::function<void()> request);

    CaptionBar& Caption() { return caption_; }
    int CaptionHeight() const { return caption_.Height(); }
    bool HasContent() { return Surface() != nullptr; }
    bool Pressed() const { return pressed_; }
    // Whether the host window has the keyboard focus (items draw "focused" selections).
    bool HostHasFocus() const;

    // Vertical position of the content in the view (0 at the top, negative scrolled down).
    int ContentOffset() const { return contentOffset_; }
    void SetContentOffset(int offset) { contentOffset_ = offset; }
    // Scrolls the content to an offset for a view of the given height: the rows in view are
    // prepared (which may move the offset to keep them in place) and the band holds them.
    void ScrollTo(int offset, int viewHeight);

    const QString& UnsentText() const { return unsentText_; }
    void SetUnsentText(const QString& text) { unsentText_ = text; }

    // Width of the host's client area (0 outside a host) and the height the content shows in.
    int HostWidth() const;
    int ViewHeight() const;

    // Paints the page into an area of the host (its left edge at area.x()): the canvas at
    // the content offset, or the empty text, then the caption bar, copied or blended.
    void PaintTo(QPainter& painter, const QRect& area, int viewHeight);

  protected:
    // What a tap and a double tap do to an item (or to nothing): focus it, and open or
    // toggle it (a single tap does so unless pages open by double click).
    void TapItem(ListItem* item);
    void DoubleTapItem(ListItem* item);

    void AfterResize(bool widthChanged, bool heightChanged) override;
    void AfterBandMoved() override;
    void AfterBandShifted(const QRect& exposed) override;

  private:
    // Draws rect into the surface; the page's lock is held.
    void DrawSurface(const QRect& rect);
    void MoveFocus(int key);

    CaptionBar caption_;
    QString unsentText_;
    MainWindow* host_ = nullptr;
    bool active_ = false;
    int contentOffset_ = 0;
    ListItem* focused_ = nullptr;
    bool pressed_ = false;
    std::atomic<bool> changed_{false};
    std::mutex pendingLock_;  // a leaf lock: guards the two below
    QRect pendingRect_;       // asked for by other threads, drawn on the next tick
    bool pendingAll_ = false;
};

}  // namespace zul
