#include "ui/framework/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>
#include <QToolTip>
#include <algorithm>

#include "platform/power.h"
#include "platform/resources.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/message_editor.h"
#include "ui/framework/page_accessible.h"
#include "ui/framework/page_look.h"
#include "ui/framework/soft_key_bar.h"
#include "ui/framework/view_page.h"

namespace zul {
namespace {

QString Text(int id) {
    return QString::fromStdU16String(ResString(id));
}

// Calls fn for every entry of the menu and its submenus that carries a command id.
void ForEachCommand(QMenu* menu, const std::function<void(QAction*, int)>& fn) {
    for (QAction* action : menu->actions()) {
        if (action->menu() != nullptr)
            ForEachCommand(action->menu(), fn);
        else if (action->data().isValid())
            fn(action, action->data().toInt());
    }
}

// Removes an entry; a submenu goes with its entry.
void DeleteEntry(QMenu* menu, QAction* action) {
    menu->removeAction(action);
    if (QMenu* sub = action->menu(); sub != nullptr && sub->parent() == menu)
        delete sub;
    else if (action->parent() == menu)
        delete action;
}

QPoint AboveWidget(QWidget* widget, QMenu* menu) {
    return widget->mapToGlobal(QPoint(0, -menu->sizeHint().height()));
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : ScrollableWindow(parent),
      editor_(new MessageEditor(this)),
      softKeys_(new SoftKeyBar(this)),
      menuPopup_(new QMenu(this)),
      leftPopup_(new QMenu(this)) {
    InstallPageAccessibility();
    setWindowTitle(QString::fromStdU16String(AppTitle()));
    editor_->hide();

    optionsAction_ = AddMenuCommand(*menuPopup_, Text(kTextOptions), kCmdOptions);
    menuPopup_->addSeparator();
    aboutAction_ = AddMenuCommand(*menuPopup_, Text(kTextAbout), kCmdAbout);
    menuPopup_->addSeparator();
    exitAction_ = AddMenuCommand(*menuPopup_, Text(kTextExit), kCmdExit);
    ConnectCommands(menuPopup_);

    connect(softKeys_, &SoftKeyBar::LeftPressed, this, [this] {
        QMenu* menu = PrepareLeftKeyPopup();
        if (!menu->isEmpty()) menu->popup(AboveWidget(softKeys_->LeftKey(), menu));
    });
    connect(softKeys_, &SoftKeyBar::RightPressed, this, [this] {
        QMenu* menu = PrepareMenuPopup();
        menu->popup(AboveWidget(softKeys_->RightKey(), menu));
    });
    InstallShortcuts();
    connect(editor_, &MessageEditor::Notify, this, &MainWindow::EditorNotify);
    connect(editor_, &QPlainTextEdit::textChanged, this, [this] {
        if (ViewPage* page = EditorPage()) page->EditorTextChanged(editor_->toPlainText());
    });
    connect(editor_, &MessageEditor::LinesChanged, this, [this] {
        LayoutChildren();
        ViewPage* page = EditorPage();
        if (page != nullptr && page->UsesEditor()) page->Relayout();
    });
    // In two panes a click into the editor moves the focus to its page.
    editor_->installEventFilter(this);
    QInputMethod* input = QGuiApplication::inputMethod();
    connect(input, &QInputMethod::keyboardRectangleChanged, this, &MainWindow::FollowKeyboard);
    connect(input, &QInputMethod::visibleChanged, this, &MainWindow::FollowKeyboard);

    RefreshSoftKeys();
    StartTimer(kTimerSlowTick, kSlowTickMs);
    // Nothing polls the pages: a page that changes asks for its repaint, which comes as one
    // posted call however many ask before it runs.
    ViewPage::SetRepaintRequest([this] {
        if (repaintPosted_.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                repaintPosted_.store(false);
                RepaintIfChanged();
            },
            Qt::QueuedConnection);
    });
}

MainWindow::~MainWindow() {
    ViewPage::SetRepaintRequest({});
    if (contextMenu_) delete contextMenu_;
    for (int id : {int(kTimerSlowTick), int(kTimerFastTick), int(kTimerScroll), int(kTimerSlide),
                   int(kTimerRest), int(kTimerHold)})
        StopTimer(id);
    std::vector<ViewPage*> pages;
    pages.swap(pages_);
    current_ = previous_ = -1;
    for (ViewPage* page : pages) {
        page->SetActive(false);
        page->RemovedFromHost();
        page->SetHost(nullptr);
    }
}

ViewPage* MainWindow::CurrentPage() const {
    return PageAt(current_);
}

void MainWindow::SetSidePage(ViewPage* page) {
    side_ = page;
    FollowWidth();
}

int MainWindow::SidePaneWidth() const {
    return std::clamp(width() * 3 / 8, ScaleX(kSidePaneMin), ScaleX(kSidePaneMax));
}

ViewPage* MainWindow::RightPage() const {
    if (!twoPanes_) return nullptr;
    ViewPage* current = CurrentPage();
    if (current != nullptr && current != side_) return current;
    if (right_ != nullptr && right_ != side_ && IndexOf(right_) >= 0) return right_;
    // The page shown before, else the last opened (a chat), else the first other one.
    if (ViewPage* before = PageAt(previous_); before != nullptr && before != side_) return before;
    for (auto it = pages_.rbegin(); it != pages_.rend(); ++it)
        if (*it != side_) return *it;
    return nullptr;
}

bool MainWindow::IsShown(const ViewPage* page) const {
    if (page == nullptr) return false;
    if (page == CurrentPage()) return true;
    return twoPanes_ && (page == side_ || page == RightPage());
}

std::vector<ViewPage*> MainWindow::ShownPages() const {
    std::vector<ViewPage*> shown;
    if (twoPanes_) {
        if (side_ != nullptr && IndexOf(side_) >= 0) shown.push_back(side_);
        if (ViewPage* right = RightPage()) shown.push_back(right);
    } else if (ViewPage* page = CurrentPage()) {
        shown.push_back(page);
    }
    return shown;
}

void MainWindow::FollowShownPages(const std::vector<ViewPage*>& before) {
    const std::vector<ViewPage*> after = ShownPages();
    auto in = [](const std::vector<ViewPage*>& pages, ViewPage* page) {
        return std::find(pages.begin(), pages.end(), page) != pages.end();
    };
    for (ViewPage* page : before) {
        if (in(after, page) || IndexOf(page) < 0) continue;
        page->Deactivated();
        page->SetActive(false);
    }
    for (ViewPage* page : after) {
        if (in(before, page)) continue;
        page->SetActive(true);
        page->Activated();
    }
}

QRect MainWindow::PaneOf(const ViewPage* page) const {
    const QRect client(0, 0, ClientWidth(), ClientHeight());
    if (!twoPanes_) return client;
    const int side = SidePaneWidth();
    if (page == side_) return QRect(0, 0, side, client.height());
    const int left = side + ScaleX(1);  // the seam
    return QRect(left, 0, std::max(0, client.width() - left), client.height());
}

int MainWindow::ViewHeightOf(const ViewPage* page) const {
    if (!twoPanes_) return ViewHeight();
    const bool editor =
        page != nullptr && page != side_ && const_cast<ViewPage*>(page)->UsesEditor();
    return std::max(0, ClientHeight() - (editor ? editor_->PreferredHeight() : 0));
}

ViewPage* MainWindow::ScrolledPage() const {
    if (aimed_ != nullptr && IsShown(aimed_)) return aimed_;
    return CurrentPage();
}

void MainWindow::AimAt(const QPoint& pos, bool press) {
    aimed_ = nullptr;
    if (press && focusRing_) {
        focusRing_ = false;
        update();
    }
    if (!twoPanes_ || Sliding()) return;
    ViewPage* page = PaneOf(side_).contains(pos) ? side_ : RightPage();
    if (page == nullptr || page == CurrentPage()) return;
    if (press)
        ShowPage(kJump, IndexOf(page));  // the focus goes to the pane pressed
    else
        aimed_ = page;
}

namespace {

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::KeyPress:
        case QEvent::InputMethod:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::Resize:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == editor_ && IsUserInput(event->type())) WakeTicks();
    if (watched == editor_ && event->type() == QEvent::FocusIn && twoPanes_ && !Sliding()) {
        ViewPage* owner = EditorPage();
        if (owner != nullptr && owner != CurrentPage()) ShowPage(kJump, IndexOf(owner));
    }
    return ScrollableWindow::eventFilter(watched, event);
}

bool MainWindow::event(QEvent* event) {
    if (IsUserInput(event->type())) WakeTicks();
    if (event->type() != QEvent::ToolTip) return ScrollableWindow::event(event);
    auto* help = static_cast<QHelpEvent*>(event);
    const QPoint pos = help->pos();
    QString tip;
    QRect area;
    for (int i = 0; i < PageCount() && tip.isEmpty(); ++i) {
        if (!PageDotBox(i).contains(pos)) continue;
        tip = PageAt(i)->Caption().Title();
        area = PageDotBox(i);
    }
    ViewPage* page = twoPanes_ && PaneOf(side_).contains(pos) ? side_ : ScrolledPage();
    if (tip.isEmpty() && page != nullptr && !Sliding()) {
        const QRect pane = PaneOf(page);
        tip = page->ToolTipAt(pos.x() - pane.x(), pos.y() - page->ContentOffset());
    }
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
    } else {
        QToolTip::showText(help->globalPos(), tip, this, area);
    }
    return true;
}

bool MainWindow::focusNextPrevChild(bool next) {
    // The parts in order: a page (its rows take the keys) or a widget.
    struct Part {
        ViewPage* page;
        QWidget* widget;
    };
    std::vector<Part> parts;
    for (ViewPage* page : ShownPages()) parts.push_back({page, nullptr});
    if (!editor_->isHidden()) parts.push_back({nullptr, editor_});
    for (QPushButton* key : {softKeys_->LeftKey(), softKeys_->RightKey()})
        if (key->isEnabled() && !key->text().isEmpty()) parts.push_back({nullptr, key});
    if (parts.empty() || Sliding()) return true;
    QWidget* focus = QApplication::focusWidget();
    size_t at = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool here = parts[i].widget != nullptr
                              ? parts[i].widget == focus
                              : focus == this && parts[i].page == CurrentPage();
        if (here) at = i;
    }
    const size_t n = parts.size();
    const Part& to = parts[next ? (at + 1) % n : (at + n - 1) % n];
    focusRing_ = true;
    if (to.page != nullptr) {
        if (to.page != CurrentPage()) ShowPage(kJump, IndexOf(to.page));
        setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        if (to.page->FocusedItem() == nullptr) to.page->OnKey(Qt::Key_Down);
    } else {
        to.widget->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    }
    update();
    return true;
}

ViewPage* MainWindow::EditorPage() const {
    return editorOwner_ != nullptr && IndexOf(editorOwner_) >= 0 ? editorOwner_ : nullptr;
}

void MainWindow::GiveEditorTo(ViewPage* page, bool later) {
    if (page != nullptr && !page->UsesEditor()) page = nullptr;
    if (page != editorOwner_) {
        if (ViewPage* before = EditorPage()) before->SetUnsentText(editor_->toPlainText());
        editorOwner_ = page;
        if (page == nullptr) {
            HideEditor();
            return;
        }
        editor_->setPlainText(page->UnsentText());
    }
    if (page == nullptr) return;
    if (later)
        editor_->hide();  // shown when the slide ends
    else if (editor_->isHidden())
        ShowEditorFor(page);
}

void MainWindow::FollowWidth() {
    const bool want = side_ != nullptr && IndexOf(side_) >= 0 && width() >= ScaleX(kTwoPaneWidth);
    if (want == twoPanes_) return;
    FinishSlide();
    aimed_ = nullptr;
    const std::vector<ViewPage*> before = ShownPages();
    twoPanes_ = want;
    FollowShownPages(before);
    ViewPage* owner = twoPanes_ ? RightPage() : CurrentPage();
    GiveEditorTo(owner, false);
    if (owner == nullptr || CurrentPage() != owner) setFocus();
    RefreshSoftKeys();
}

ViewPage* MainWindow::PageAt(int index) const {
    if (index < 0 || index >= PageCount()) return nullptr;
    return pages_[static_cast<size_t>(index)];
}

int MainWindow::IndexOf(const ViewPage* page) const {
    auto it = std::find(pages_.begin(), pages_.end(), page);
    return it == pages_.end() ? -1 : static_cast<int>(it - pages_.begin());
}

int MainWindow::ClientHeight() const {
    return std::max(0, height() - keyboardCover_ - softKeys_->BarHeight());
}

void MainWindow::SetKeyboardCover(int pixels) {
    // The keyboard never takes more than half the window: the chat stays readable above it.
    pixels = std::clamp(pixels, 0, height() / 2);
    if (pixels == keyboardCover_) return;
    keyboardCover_ = pixels;
    LayoutChildren();
    for (ViewPage* page : pages_) page->Relayout();
    update();
}

// A keyboard drawn over the window (rather than one the compositor makes room for by resizing
// it) is given as a rectangle in the window's coordinates.
void MainWindow::FollowKeyboard() {
    const QInputMethod* input = QGuiApplication::inputMethod();
    const QRectF keyboard = input->isVisible() ? input->keyboardRectangle() : QRectF();
    SetKeyboardCover(keyboard.isEmpty() ? 0 : height() - static_cast<int>(keyboard.top()));
}

// The editor's rows are taken from the view of a page that uses it, also while it slides in.
int MainWindow::ViewHeight() const {
    ViewPage* page = twoPanes_ ? RightPage() : CurrentPage();
    const int editor = page != nullptr && page->UsesEditor() ? editor_->PreferredHeight() : 0;
    return std::max(0, ClientHeight() - editor);
}

bool MainWindow::EditorShown() const {
    return !editor_->isHidden();
}

void MainWindow::LayoutChildren() {
    const int bar = softKeys_->BarHeight();
    softKeys_->setGeometry(0, height() - keyboardCover_ - bar, width(), bar);
    const int editor = editor_->PreferredHeight();
    const QRect pane = PaneOf(EditorPage());
    editor_->setGeometry(pane.x(), ClientHeight() - editor, pane.width(), editor);
}

void MainWindow::OnSize(int, int) {
    FollowWidth();
    LayoutChildren();
    for (ViewPage* page : pages_) page->Relayout();
    update();
}

int MainWindow::AddPage(ViewPage* page, bool append, bool switchTo) {
    if (page == nullptr) return -1;
    int index = IndexOf(page);
    if (index < 0) {
        if (append || pages_.size() < 2) {
            pages_.push_back(page);
            index = PageCount() - 1;
        } else {
            index = 2;
            pages_.insert(pages_.begin() + 2, page);
            if (current_ >= 2) ++current_;
            if (previous_ >= 2) ++previous_;
        }
        page->SetHost(this);
        page->AddedToHost();
        page->Relayout();
        if (pages_.size() == 1) ShowPage(kJump, 0);
        if (page == side_) FollowWidth();
    }
    if (switchTo) ShowPage(kSlideFromRight, index);
    return index;
}

void MainWindow::ShowPage(int kind, int index) {
    if (Sliding()) return;
    const int count = PageCount();
    if (kind == kSlideFromLeft && index == -1) index = count - 1;
    if (kind == kSlideFromRight && index == count) index = 0;
    if (index < 0 || index >= count || index == current_) return;
    ViewPage* page = pages_[static_cast<size_t>(index)];
    StopMotion();
    aimed_ = nullptr;
    // What changes on the screen: the one page, or in two panes the right one (moving between
    // the panes only moves the focus).
    ViewPage* leaving = twoPanes_ ? RightPage() : CurrentPage();
    previous_ = current_;
    current_ = index;
    lastKind_ = kind;
    if (twoPanes_ && page != side_) right_ = page;
    ViewPage* coming = twoPanes_ ? RightPage() : page;
    const bool slide = kind != kJump && leaving != nullptr && leaving != coming;
    if (leaving != nullptr && leaving != coming) {
        leaving->Deactivated();
        if (!slide) leaving->SetActive(false);
    }
    GiveEditorTo(coming, slide);
    if (coming != nullptr && coming != leaving) {
        coming->SetActive(true);
        coming->Activated();
    }
    if (EditorPage() == nullptr || page != EditorPage())
        setFocus();
    else if (!slide && !editor_->isHidden())
        editor_->setFocus();
    if (index <= 1 && hooks_.removeNotification) hooks_.removeNotification();
    // The selections change their look with the keys.
    for (ViewPage* shown : {PageAt(previous_), page})
        if (shown != nullptr && shown->FocusedItem() != nullptr && IsShown(shown))
            shown->RedrawItem(shown->FocusedItem());
    RefreshSoftKeys();
    if (slide) {
        slideFrom_ = leaving;
        const int width = PaneOf(coming).width();
        StartSlide(kind == kSlideFromRight ? width : -width);
    } else {
        LayoutChildren();
        update();
    }
}

void MainWindow::SlideFinished() {
    if (slideFrom_ != nullptr && !IsShown(slideFrom_)) slideFrom_->SetActive(false);
    slideFrom_ = nullptr;
    if (ViewPage* page = EditorPage(); page != nullptr && IsShown(page)) ShowEditorFor(page);
    if (pendingRemoval_ != nullptr) {
        const int index = IndexOf(pendingRemoval_);
        pendingRemoval_ = nullptr;
        if (index >= 0) Detach(index);
    }
    update();
    RepaintIfChanged();
}

void MainWindow::NextPage() {
    if (pendingRemoval_ == nullptr) ShowPage(kSlideFromRight, current_ + 1);
}

void MainWindow::PreviousPage() {
    if (pendingRemoval_ == nullptr) ShowPage(kSlideFromLeft, current_ - 1);
}

int MainWindow::ResolveFallback(int fallback, int removed) const {
    int target = fallback == kFallbackPrevious ? previous_ : fallback;
    if (target < 0 || target >= PageCount() || target == removed) target = removed == 0 ? 1 : 0;
    return target < PageCount() ? target : -1;
}

void MainWindow::RemovePage(ViewPage* page, int how, int fallback) {
    const int index = IndexOf(page);
    if (index < 0) return;
    const int target = ResolveFallback(fallback, index);
    if (index != current_) {
        Detach(index);
    } else if (how == kRemoveThenJump) {
        FinishSlide();
        Detach(index);
        if (target >= 0) ShowPage(kJump, target > index ? target - 1 : target);
    } else if (how == kJumpThenRemove) {
        FinishSlide();
        ShowPage(kJump, target);
        Detach(IndexOf(page));
    } else {
        FinishSlide();
        pendingRemoval_ = page;
        ShowPage(kSlideFromLeft, target);
        // No slide could start (no other page, or no width to slide across).
        if (pendingRemoval_ == page && !Sliding()) Detach(IndexOf(page));
    }
    if (CurrentPage() == nullptr) GiveEditorTo(nullptr, false);
    update();
}

void MainWindow::Detach(int index) {
    ViewPage* page = PageAt(index);
    if (page == nullptr) return;
    const std::vector<ViewPage*> before = ShownPages();
    pages_.erase(pages_.begin() + index);
    if (slideFrom_ == page) slideFrom_ = nullptr;
    if (pendingRemoval_ == page) pendingRemoval_ = nullptr;
    if (aimed_ == page) aimed_ = nullptr;
    if (right_ == page) right_ = nullptr;
    if (editorOwner_ == page) {
        editorOwner_ = nullptr;
        HideEditor();
    }
    const bool wasSide = page == side_;
    if (contextPage_ == page) {
        contextPage_ = nullptr;
        if (contextMenu_) contextMenu_->close();
    }
    if (current_ == index)
        current_ = -1;
    else if (current_ > index)
        --current_;
    if (previous_ == index)
        previous_ = 0;
    else if (previous_ > index)
        --previous_;
    if (pages_.empty()) previous_ = -1;
    page->SetActive(false);
    page->RemovedFromHost();
    page->SetHost(nullptr);
    if (wasSide) side_ = nullptr;
    // In two panes another page may come into the right one.
    if (twoPanes_) {
        FollowShownPages(before);
        FollowWidth();
        GiveEditorTo(twoPanes_ ? RightPage() : CurrentPage(), false);
    }
    RefreshSoftKeys();
}

void MainWindow::ShowEditorFor(ViewPage* page) {
    LayoutChildren();
    editor_->show();
    editor_->raise();
    // Beside the list (two panes) the editor takes the keys only when its page has the focus.
    if (CurrentPageLook().focusEditorOnChat && page == CurrentPage()) editor_->setFocus();
}

void MainWindow::HideEditor() {
    editor_->hide();
    editor_->clear();
}

void MainWindow::EditorNotify(int code) {
    ViewPage* page = EditorPage();
    if (page == nullptr) return;
    if (page->EditorNotification(code, editor_->toPlainText()) && code == MessageEditor::kConfirm)
        editor_->clear();
}

void MainWindow::RefreshSoftKeys() {
    QString label;
    ViewPage* page = CurrentPage();
    const bool enabled = page != nullptr && page->LeftSoftKey(label);
    softKeys_->SetLeftKey(label, enabled);
    softKeys_->SetRightKey(Text(kTextMenu));
}

void MainWindow::Retranslate() {
    optionsAction_->setText(Text(kTextOptions));
    aboutAction_->setText(Text(kTextAbout));
    exitAction_->setText(Text(kTextExit));
    setWindowTitle(QString::fromStdU16String(AppTitle()));
    std::vector<ViewPage*> pages = pages_;
    for (ViewPage* page : pages)
        if (IndexOf(page) >= 0) page->LanguageChanged();
    RefreshSoftKeys();
    LayoutChildren();
    update();
}

void MainWindow::ConnectCommands(QMenu* menu) {
    ForEachCommand(menu, [this](QAction* action, int id) {
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    });
}

QMenu* MainWindow::PrepareMenuPopup() {
    // The previous page's "&View" entry goes; the current page puts in its own.
    for (QAction* action : viewEntries_)
        if (action != aboutAction_ && menuPopup_->actions().contains(action))
            DeleteEntry(menuPopup_, action);
    viewEntries_.clear();
    const QList<QAction*> before = menuPopup_->actions();
    if (ViewPage* page = CurrentPage()) page->FillMenuPopup(*menuPopup_, aboutAction_);
    for (QAction* action : menuPopup_->actions()) {
        if (before.contains(action)) continue;
        viewEntries_.push_back(action);
        if (action->menu() != nullptr)
            ConnectCommands(action->menu());
        else if (action->data().isValid())
            connect(action, &QAction::triggered, this,
                    [this, id = action->data().toInt()] { OnCommand(id); });
    }
    return menuPopup_;
}

QMenu* MainWindow::PrepareLeftKeyPopup() {
    for (QAction* action : leftPopup_->actions()) DeleteEntry(leftPopup_, action);
    leftPopup_->clear();
    if (ViewPage* page = CurrentPage()) page->FillLeftKeyPopup(*leftPopup_);
    ConnectCommands(leftPopup_);
    return leftPopup_;
}

void MainWindow::ShowContextMenu(ViewPage* page, QMenu* menu, const QPoint& globalPos) {
    if (contextMenu_) contextMenu_->close();
    contextMenu_ = menu;
    contextPage_ = page;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    ForEachCommand(menu, [this, page](QAction* action, int id) {
        connect(action, &QAction::triggered, this, [this, page, id] {
            if (contextPage_ == page && IndexOf(page) >= 0) page->ContextCommand(id);
        });
    });
    menu->popup(globalPos);
}

void MainWindow::RepaintPage(ViewPage* page) {
    if (page != nullptr && (IsShown(page) || page == slideFrom_)) update();
}

void MainWindow::OnCommand(int id) {
    switch (id) {
        case kCmdExit:
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { QCoreApplication::exit(0); },
                Qt::QueuedConnection);
            return;
        case kCmdAbout:
            if (hooks_.about) hooks_.about();
            return;
        case kCmdOptions:
            BeginWaitCursor();
            if (hooks_.options) hooks_.options();
            EndWaitCursor();
            RefreshSoftKeys();
            if (ViewPage* page = CurrentPage()) page->Redraw();
            return;
        case kCmdNotificationLeft:
        case kCmdNotificationRight:
            if (hooks_.notificationKey) hooks_.notificationKey(id);
            return;
        default:
            break;
    }
    // The current page first, then every other page; a command may remove pages.
    std::vector<ViewPage*> pages = pages_;
    ViewPage* current = CurrentPage();
    if (current != nullptr) current->Command(id);
    for (ViewPage* page : pages)
        if (page != current && IndexOf(page) >= 0) page->Command(id);
}

void MainWindow::InstallShortcuts() {
    // Window-wide, so they work while the message editor has the focus too.
    auto add = [this](QKeySequence keys, auto action) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    auto back = [this] {
        if (ViewPage* page = CurrentPage(); page != nullptr && !Sliding()) page->GoBack();
    };
    add(QKeySequence(Qt::Key_Escape), back);
    add(QKeySequence(Qt::CTRL | Qt::Key_W), back);
    add(QKeySequence(Qt::CTRL | Qt::Key_Tab), [this] { NextPage(); });
    add(QKeySequence(Qt::ALT | Qt::Key_Right), [this] { NextPage(); });
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), [this] { PreviousPage(); });
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), [this] { PreviousPage(); });
    add(QKeySequence(Qt::ALT | Qt::Key_Left), [this] { PreviousPage(); });
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Text typed while a chat slides in belongs to its editor, shown when the slide ends.
    ViewPage* page = CurrentPage();
    const QString text = event->text();
    const bool plain =
        (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) ==
        Qt::NoModifier;
    if (page != nullptr && page->UsesEditor() && Sliding() && editor_->isHidden() && plain &&
        !text.isEmpty() && text.at(0).isPrint()) {
        editor_->moveCursor(QTextCursor::End);
        editor_->insertPlainText(text);
        event->accept();
        return;
    }
    ScrollableWindow::keyPressEvent(event);
}

void MainWindow::OnKeyDown(int key) {
    ViewPage* page = CurrentPage();
    if (page == nullptr || !page->AcceptsInput()) return;
    if (ScrollByKey(key)) return;
    page->OnKey(key);
}

// A selection is drawn differently with and without the keyboard focus.
void MainWindow::RedrawFocusedItem() {
    ViewPage* page = CurrentPage();
    if (page != nullptr && page->FocusedItem() != nullptr) page->RedrawItem(page->FocusedItem());
}

bool MainWindow::TicksAllowed() const {
    return DevicePowerOn() && !Moving() && !Sliding();
}

void MainWindow::OnTimer(int id) {
    if (id == kTimerSlowTick) {
        if (!TicksAllowed()) return;
        std::vector<ViewPage*> pages = pages_;
        bool wanted = false;
        for (ViewPage* page : pages) {
            if (IndexOf(page) < 0) continue;
            page->SlowTick();
            wanted = page->WantsTicks() || wanted;
        }
        PaintIfChanged();
        // One more tick after the last change, then none until something happens.
        if (!wanted && !tickAgain_) StopTimer(kTimerSlowTick);
        tickAgain_ = false;
        return;
    }
    if (id == kTimerFastTick) {
        RepaintIfChanged();
        return;
    }
    ScrollableWindow::OnTimer(id);
}

void MainWindow::WakeTicks() {
    tickAgain_ = true;
    if (!TimerActive(kTimerSlowTick)) StartTimer(kTimerSlowTick, kSlowTickMs);
    if (!TimerActive(kTimerRest)) StartTimer(kTimerRest, kRestIntervalMs);
}

void MainWindow::RepaintIfChanged() {
    WakeTicks();
    PaintIfChanged();
}

void MainWindow::PaintIfChanged() {
    if (!TicksAllowed()) return;
    bool changed = false;
    for (ViewPage* page : ShownPages()) changed = page->ChangedSinceLastPaint() || changed;
    if (changed) update();
}

QRect MainWindow::PageDotBox(int index) const {
    // Over the page at the right of two panes, else over the current one.
    const ViewPage* page = twoPanes_ ? RightPage() : CurrentPage();
    const int count = PageCount();
    if (page == nullptr || count < 2 || index < 0 || index >= count) return {};
    // Boxes wide enough for a finger, reaching up into the caption; the dots drawn in their
    // lower part, in the caption's strip, stay small.
    const int box = ScaleY(24);
    const QRect pane = PaneOf(page);
    const int left = pane.x() + (pane.width() - count * box) / 2;
    const int bottom = page->CaptionHeight() - ScaleY(1);
    const int top = std::max(0, bottom - box);
    return QRect(left + index * box, top, box, bottom - top);
}

void MainWindow::DrawPageDots(QPainter& painter) {
    const int count = PageCount();
    if (count < 2) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal radius = ScaleY(5) / 2.0;
    const qreal strip = CaptionBar::DotStripHeight();
    for (int i = 0; i < count; ++i) {
        const QRect box = PageDotBox(i);
        const QPointF centre(box.x() + box.width() / 2.0, box.y() + box.height() - strip / 2.0);
        painter.setPen(i == current_ ? Qt::NoPen : QPen(GreyTextColour(), 1));
        painter.setBrush(i == current_ ? QBrush(WindowTextColour()) : QBrush(Qt::NoBrush));
        painter.drawEllipse(centre, radius, radius);
    }
    painter.restore();
}

void MainWindow::OnActivationChanged(bool active) {
    for (ViewPage* page : pages_) page->WindowActivationChanged(active);
}

void MainWindow::OnPaletteChanged() {
    std::vector<ViewPage*> pages = pages_;
    for (ViewPage* page : pages)
        if (IndexOf(page) >= 0) page->Relayout();
    update();
}

bool MainWindow::TapOnChrome(const QPoint& pos) {
    for (int i = 0; i < PageCount(); ++i) {
        if (!PageDotBox(i).contains(pos)) continue;
        if (i != current_) ShowPage(i > current_ ? kSlideFromRight : kSlideFromLeft, i);
        return true;
    }
    return false;
}

void MainWindow::FollowPixelRatio() {
    // A scaled screen, or the window moved to a screen of another scale: every page and caption
    // is made again with as many pixels as the screen shows.
    // (Each page follows as it is painted.)
    const double ratio = devicePixelRatioF();
    if (ratio != Canvas::PixelRatio()) Canvas::SetPixelRatio(ratio);
}

void MainWindow::OnPaint(QPainter& painter, const QRect&) {
    FollowPixelRatio();
    const QRect client(0, 0, ClientWidth(), ClientHeight());
    ViewPage* page = twoPanes_ ? RightPage() : CurrentPage();
    if (twoPanes_) {
        side_->PaintTo(painter, PaneOf(side_), ViewHeightOf(side_));
        const QRect seam(PaneOf(side_).right() + 1, 0, ScaleX(1), client.height());
        painter.fillRect(seam, GreyTextColour());
    }
    const QRect pane = PaneOf(page);
    if (page == nullptr) {
        painter.fillRect(pane, WindowColour());
        return;
    }
    if (Sliding() && slideFrom_ != nullptr) {
        // The new page at the slide offset, the old one beside it, a line at the seam.
        painter.save();
        painter.setClipRect(pane);
        const int s = SlideOffset();
        const int w = pane.width();
        const int oldX = s > 0 ? s - w : s + w;
        const int seam = pane.x() + (s > 0 ? s : s + w);
        slideFrom_->PaintTo(painter, pane.translated(oldX, 0), ViewHeightOf(page));
        page->PaintTo(painter, pane.translated(s, 0), ViewHeightOf(page));
        painter.fillRect(QRect(seam, 0, ScaleX(1), pane.height()), WindowTextColour());
        painter.restore();
        return;
    }
    page->PaintTo(painter, pane, ViewHeightOf(page));
    DrawHoldFeedback(painter);
    DrawScrollIndicator(painter);
    DrawPageDots(painter);
    if (focusRing_ && hasFocus()) {
        // Round the page that has the keys, inside its pane.
        const int w = ScaleX(2);
        const QRect pane = PaneOf(CurrentPage());
        const QRect shown(pane.x(), 0, pane.width(), ViewHeightOf(CurrentPage()));
        const QRect ring = shown.adjusted(w / 2, w / 2, -(w + 1) / 2, -(w + 1) / 2);
        painter.save();
        painter.setPen(QPen(HighlightColour(), w));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(ring);
        painter.restore();
    }
}

}  // namespace zul
