// MainWindow: the page host. It keeps the row of pages, shows one at a time and slides
// between them, ticks the pages, carries the soft keys with their popups, and the message
// editor shared by the pages that use it.
#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <vector>

#include "ui/framework/scrollable_window.h"

class QMenu;

namespace zul {

class MessageEditor;
class SoftKeyBar;
class ViewPage;

// String ids of the window's own texts.
enum MainWindowText {
    kTextMenu = 140,
    kTextOptions = 141,
    kTextAbout = 142,
    kTextExit = 143,
};

class MainWindow : public ScrollableWindow {
    Q_OBJECT
  public:
    enum ShowKind { kJump = 2, kSlideFromLeft = 3, kSlideFromRight = 4 };
    enum RemoveHow { kRemoveThenJump = 1, kJumpThenRemove = 2, kSlideThenRemove = 3 };
    enum CommandId {
        kCmdNotificationLeft = 100,
        kCmdNotificationRight = 101,
        kCmdExit = 32782,
        kCmdAbout = 32784,
        kCmdOptions = 32786,
    };
    // The slow tick runs every second (blinking marks, typing pauses); kTimerFastTick is no
    // timer: firing it paints the current page if it changed, as a repaint request does.
    enum HostTimer { kTimerSlowTick = 10002, kTimerFastTick = 10003 };
    static constexpr int kSlowTickMs = 1000;
    // RemovePage's fallback: the page shown before (the first page when that is gone).
    static constexpr int kFallbackPrevious = -2;
    // From this width (logical pixels) the side page stands at the left and the other pages
    // take the rest; the side pane is a share of the width within these bounds.
    static constexpr int kTwoPaneWidth = 840;
    static constexpr int kSidePaneMin = 320;
    static constexpr int kSidePaneMax = 420;

    // What other parts of the program do for the host.
    struct Hooks {
        std::function<void()> about;               // the About sheet
        std::function<void()> options;             // the Options sheet
        std::function<void()> removeNotification;  // the new-message notification goes
        std::function<void(int)> notificationKey;  // commands 100 and 101
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }

    // A page already in the row keeps its place; else it is appended (append set, or fewer
    // than two pages) or inserted at 2, after the accounts and contacts pages.
    int AddPage(ViewPage* page, bool append, bool switchTo);
    void RemovePage(ViewPage* page, int how, int fallback = kFallbackPrevious);
    // kind: kJump, kSlideFromLeft (index -1 is the last page), kSlideFromRight (index ==
    // page count is the first).
    void ShowPage(int kind, int index);
    void NextPage();
    void PreviousPage();

    // The page a wide window keeps at its left (the contact list); nullptr: one page at a time.
    void SetSidePage(ViewPage* page);
    ViewPage* SidePage() const { return side_; }
    // Two panes: the window is wide enough and the side page is in the row.
    bool TwoPanes() const { return twoPanes_; }
    // The page at the right of two panes: the current page unless that is the side page, else
    // the one last shown there.
    ViewPage* RightPage() const;
    // The page is on the screen: the current one, or either pane's.
    bool IsShown(const ViewPage* page) const;
    QRect PaneOf(const ViewPage* page) const override;
    // Tab moved the focus: a ring marks the page that has the keys (until the next press).
    bool FocusRingShown() const { return focusRing_; }
    int ViewHeightOf(const ViewPage* page) const override;

    ViewPage* CurrentPage() const;
    int CurrentIndex() const { return current_; }
    int PreviousIndex() const { return previous_; }
    int PageCount() const { return static_cast<int>(pages_.size()); }
    ViewPage* PageAt(int index) const;
    int IndexOf(const ViewPage* page) const;
    bool RemovalPending() const { return pendingRemoval_ != nullptr; }
    int LastShowKind() const { return lastKind_; }

    void OnCommand(int id) override;

    MessageEditor* Editor() const { return editor_; }
    bool EditorShown() const;
    SoftKeyBar* SoftKeys() const { return softKeys_; }
    // Refills the popups as they are when their key is pressed (tests and the keys).
    QMenu* PrepareMenuPopup();
    QMenu* PrepareLeftKeyPopup();
    void RefreshSoftKeys();
    // The language changed: the window's own texts and every page's are taken again.
    void Retranslate();

    // Services for the pages.
    void RepaintPage(ViewPage* page);
    void ShowContextMenu(ViewPage* page, QMenu* menu, const QPoint& globalPos);
    // The editor's notification (code 1: confirmed) goes to the current page.
    void EditorNotify(int code);

    int ClientWidth() const override { return width(); }
    int ClientHeight() const override;
    // Pixels at the window's bottom an on-screen keyboard covers: the soft keys, the editor and
    // the pages' views stand above it.
    void SetKeyboardCover(int pixels);
    int KeyboardCover() const { return keyboardCover_; }
    int ViewHeight() const override;

    // The page dots under the caption (one per page when there are several): where page
    // `index`'s dot answers a tap, in window coordinates; empty when none is drawn.
    QRect PageDotBox(int index) const;

    // Paints the current page when it changed (and ticks are allowed: not while it moves).
    // Pages ask for it when they change (ViewPage::RequestRepaint); the slow tick looks too.
    void RepaintIfChanged();
    // The slow tick (and the check that a page rests inside its bounds) run again: after a
    // change or the user's input. They stop by themselves once nothing wants them, so that an
    // idle window does no periodic work.
    void WakeTicks();
    bool Ticking() const { return TimerActive(kTimerSlowTick); }

  protected:
    ViewPage* ScrolledPage() const override;
    void AimAt(const QPoint& pos, bool press) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Tooltips: a page dot names its page; elsewhere the page under the pointer says.
    bool event(QEvent* event) override;
    // Tab and Shift+Tab: the pages shown (both panes), the editor, the soft keys, in turn; a
    // ring marks the page that has the keys.
    bool focusNextPrevChild(bool next) override;
    void SwipeToNext() override { NextPage(); }
    void SwipeToPrevious() override { PreviousPage(); }
    void SlideFinished() override;

    void OnSize(int width, int height) override;
    void OnPaint(QPainter& painter, const QRect& dirty) override;
    // Makes the pages' surfaces again when the window's device-pixel ratio changed.
    void FollowPixelRatio();
    void OnKeyDown(int key) override;
    void keyPressEvent(QKeyEvent* event) override;
    void OnFocusGained() override { RedrawFocusedItem(); }
    // Every page is drawn again in the new colours.
    void OnPaletteChanged() override;
    // Every page hears whether the window has the user's attention.
    void OnActivationChanged(bool active) override;
    void OnFocusLost() override { RedrawFocusedItem(); }
    void OnTimer(int id) override;
    void MotionEnded() override { RepaintIfChanged(); }

    bool TapOnChrome(const QPoint& pos) override;

  private:
    int keyboardCover_ = 0;
    void FollowKeyboard();
    // A repaint request is posted and not yet run: more requests add nothing.
    std::atomic<bool> repaintPosted_{false};
    // Paints the shown pages that changed (RepaintIfChanged without waking the ticks).
    void PaintIfChanged();
    // Something happened since the last slow tick: the next one runs even if no page wants it.
    bool tickAgain_ = true;
    void DrawPageDots(QPainter& painter);
    void InstallShortcuts();
    void LayoutChildren();
    void ShowEditorFor(ViewPage* page);
    void HideEditor();
    // The editor holds the unsent text of `page` (nullptr: of none; hidden then); the text of
    // the page it held before is kept with that page. Shown at once unless `later`.
    void GiveEditorTo(ViewPage* page, bool later);
    // Lays the window out as one page or two panes as its width asks.
    void FollowWidth();
    void Detach(int index);
    int ResolveFallback(int fallback, int removed) const;
    void ConnectCommands(QMenu* menu);
    // The pages on the screen now; those that came or went hear Activated/Deactivated.
    std::vector<ViewPage*> ShownPages() const;
    void FollowShownPages(const std::vector<ViewPage*>& before);
    // The page whose rows the shared editor belongs to (the right pane's in two panes).
    ViewPage* EditorPage() const;
    int SidePaneWidth() const;
    bool TicksAllowed() const;
    void RedrawFocusedItem();

    std::vector<ViewPage*> pages_;
    int current_ = -1;
    int previous_ = -1;
    int lastKind_ = 0;
    ViewPage* slideFrom_ = nullptr;       // the page sliding out
    ViewPage* side_ = nullptr;            // kept at the left of a wide window
    ViewPage* right_ = nullptr;           // last shown at the right of two panes
    ViewPage* aimed_ = nullptr;           // a wheel turned over it (not the current page)
    ViewPage* editorOwner_ = nullptr;     // whose unsent text the editor holds
    bool twoPanes_ = false;               // as laid out last
    bool focusRing_ = false;              // the keys moved the focus; a press ends it
    ViewPage* pendingRemoval_ = nullptr;  // leaves the row when the slide ends
    MessageEditor* editor_;
    SoftKeyBar* softKeys_;
    QMenu* menuPopup_;
    QMenu* leftPopup_;
    QAction* optionsAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    std::vector<QAction*> viewEntries_;  // what the page put into the Menu popup
    QPointer<QMenu> contextMenu_;
    ViewPage* contextPage_ = nullptr;
    Hooks hooks_;
};

}  // namespace zul
