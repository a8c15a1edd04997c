#include "ui/framework/page_accessible.h"

#include <QAccessible>
#include <algorithm>
#include <vector>

#include "ui/framework/list_item.h"
#include "ui/framework/main_window.h"
#include "ui/framework/view_page.h"

namespace zul {
namespace {

std::vector<ListItem*> RowsOf(const MainWindow* window) {
    ViewPage* page = window != nullptr ? window->CurrentPage() : nullptr;
    return page != nullptr ? page->AccessibleItems() : std::vector<ListItem*>();
}

// One row. It holds its row only as a key: every question first checks that the current
// page still lists it, so a row deleted by a relayout is never touched.
class RowAccessible : public QAccessibleInterface {
  public:
    RowAccessible(PageAccessible& parent, ListItem* item) : parent_(parent), item_(item) {}

    bool isValid() const override { return Alive(); }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return &parent_; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void setText(QAccessible::Text, const QString&) override {}

    QString text(QAccessible::Text t) const override {
        if (t != QAccessible::Name || !Alive()) return {};
        ViewPage* page = parent_.Window()->CurrentPage();
        return page != nullptr ? page->AccessibleText(*item_) : QString();
    }

    QRect rect() const override {
        MainWindow* window = parent_.Window();
        ViewPage* page = window->CurrentPage();
        if (!Alive() || page == nullptr) return {};
        QRect r = item_->Rect().translated(window->PaneOf(page).x(), page->ContentOffset());
        return QRect(window->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        s.focusable = true;
        s.selectable = true;
        ViewPage* page = parent_.Window()->CurrentPage();
        if (!Alive() || page == nullptr) {
            s.invalid = true;
            return s;
        }
        s.focused = s.selected = page->FocusedItem() == item_;
        const QRect shown(0, page->CaptionHeight() - page->ContentOffset(), page->Width(),
                          parent_.Window()->ViewHeightOf(page));
        s.offscreen = !item_->Rect().intersects(shown);
        return s;
    }

  private:
    bool Alive() const {
        const std::vector<ListItem*> rows = RowsOf(parent_.Window());
        return std::find(rows.begin(), rows.end(), item_) != rows.end();
    }

    PageAccessible& parent_;
    ListItem* item_;
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    if (auto* window = qobject_cast<MainWindow*>(object);
        window != nullptr && className == QLatin1String("zul::MainWindow")) {
        return new PageAccessible(window);
    }
    return nullptr;
}

}  // namespace

PageAccessible::PageAccessible(MainWindow* window) : QAccessibleWidget(window, QAccessible::List) {}

PageAccessible::~PageAccessible() {
    for (const auto& [item, id] : rows_) QAccessible::deleteAccessibleInterface(id);
}

MainWindow* PageAccessible::Window() const {
    return static_cast<MainWindow*>(widget());
}

void PageAccessible::Prune() const {
    const std::vector<ListItem*> rows = RowsOf(Window());
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (std::find(rows.begin(), rows.end(), it->first) == rows.end()) {
            QAccessible::deleteAccessibleInterface(it->second);
            it = rows_.erase(it);
        } else {
            ++it;
        }
    }
}

QAccessibleInterface* PageAccessible::InterfaceOf(ListItem* item) const {
    if (item == nullptr) return nullptr;
    Prune();
    if (auto it = rows_.find(item); it != rows_.end())
        return QAccessible::accessibleInterface(it->second);
    const std::vector<ListItem*> rows = RowsOf(Window());
    if (std::find(rows.begin(), rows.end(), item) == rows.end()) return nullptr;
    auto* row = new RowAccessible(const_cast<PageAccessible&>(*this), item);
    rows_[item] = QAccessible::registerAccessibleInterface(row);
    return row;
}

int PageAccessible::childCount() const {
    // The window's own widgets (the soft keys, the editor) come first.
    return QAccessibleWidget::childCount() + static_cast<int>(RowsOf(Window()).size());
}

QAccessibleInterface* PageAccessible::child(int index) const {
    const int own = QAccessibleWidget::childCount();
    if (index < own) return QAccessibleWidget::child(index);
    const std::vector<ListItem*> rows = RowsOf(Window());
    const size_t at = static_cast<size_t>(index - own);
    return at < rows.size() ? InterfaceOf(rows[at]) : nullptr;
}

int PageAccessible::indexOfChild(const QAccessibleInterface* child) const {
    const int own = QAccessibleWidget::indexOfChild(child);
    if (own >= 0) return own;
    const std::vector<ListItem*> rows = RowsOf(Window());
    for (size_t i = 0; i < rows.size(); ++i) {
        auto it = rows_.find(rows[i]);
        if (it != rows_.end() && QAccessible::accessibleInterface(it->second) == child)
            return QAccessibleWidget::childCount() + static_cast<int>(i);
    }
    return -1;
}

QAccessibleInterface* PageAccessible::focusChild() const {
    ViewPage* page = Window()->CurrentPage();
    if (page != nullptr && page->FocusedItem() != nullptr) return InterfaceOf(page->FocusedItem());
    return QAccessibleWidget::focusChild();
}

QString PageAccessible::text(QAccessible::Text t) const {
    if (t == QAccessible::Name) {
        ViewPage* page = Window()->CurrentPage();
        if (page != nullptr) return page->Caption().Title();
    }
    return QAccessibleWidget::text(t);
}

void InstallPageAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(Factory);
        return true;
    }();
    (void)installed;
}

void NotifyRowFocused(ViewPage& page, ListItem* item) {
    MainWindow* window = page.Host();
    if (item == nullptr || window == nullptr || !QAccessible::isActive() ||
        window->CurrentPage() != &page)
        return;
    auto* owner = dynamic_cast<PageAccessible*>(QAccessible::queryAccessibleInterface(window));
    if (owner == nullptr) return;
    if (QAccessibleInterface* row = owner->InterfaceOf(item)) {
        QAccessibleEvent event(row, QAccessible::Focus);
        QAccessible::updateAccessibility(&event);
    }
}

}  // namespace zul
