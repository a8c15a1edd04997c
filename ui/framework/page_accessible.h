// What screen readers see of the main window: the pages draw their rows themselves, so the
// window's accessible object lists the current page's rows as its children, each with the
// text the page gives it (a contact's name, status and unread count; an account's name and
// status; a message's sender, time and text), its place on the screen, and whether it has
// the focus. Moving the focus to a row tells the screen reader.
#pragma once

#include <QAccessibleWidget>
#include <map>

namespace zul {

class ListItem;
class MainWindow;
class ViewPage;

class PageAccessible : public QAccessibleWidget {
  public:
    explicit PageAccessible(MainWindow* window);
    ~PageAccessible() override;

    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* focusChild() const override;
    QString text(QAccessible::Text t) const override;

    MainWindow* Window() const;
    // The interface of a row of the current page (made on first use); nullptr for none.
    QAccessibleInterface* InterfaceOf(ListItem* item) const;
    // Forgets the interfaces of rows the current page no longer has.
    void Prune() const;

  private:
    mutable std::map<ListItem*, QAccessible::Id> rows_;
};

// Installs the factory that gives the main window its PageAccessible (once per process).
void InstallPageAccessibility();
// The page tells screen readers that a row took the focus (nothing while none listens).
void NotifyRowFocused(ViewPage& page, ListItem* item);

}  // namespace zul
