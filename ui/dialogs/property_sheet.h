// PropertySheet: a modal, full-screen sheet of pages with a title line at the top, optional
// page tabs, and a soft-key bar that the active page installs. Every page has a portrait, a
// square and a landscape layout; the sheet tells the active page when the window's aspect
// changes, and forces the layout when a page becomes active.
#pragma once

#include <QDialog>
#include <QSize>
#include <array>
#include <vector>

#include "ui/dialogs/dialog_texts.h"

class QLabel;
class QPushButton;
class QStackedWidget;
class QTabBar;

namespace zul {

class PropertySheet;
class SoftKeyBar;

// Narrower than tall: portrait; equal: square; wider: landscape.
Orientation OrientationOf(const QSize& size);

class SheetPage : public QWidget {
    Q_OBJECT
  public:
    SheetPage(PropertySheet& sheet, Templates templates);

    // The title the page gives the sheet and its soft-key bar (a menu resource id).
    virtual QString Title() const = 0;
    virtual int SoftKeys() const = 0;
    // The page became active: set its controls from the working values.
    virtual void Entered() {}
    // The page is being left (or the sheet closes): store its controls.
    virtual void Leaving() {}
    // A soft-key command while the page is active.
    virtual void Command(int id) {}

    // Arranges the controls for the orientation when it differs from the last one the page
    // saw, or always when forced.
    void UpdateLayout(Orientation orientation, bool force);
    Orientation ShownOrientation() const { return shown_; }
    // The template of the layout shown.
    int TemplateId() const { return templates_.For(shown_); }
    const Templates& PageTemplates() const { return templates_; }

  protected:
    // Builds the page's layout for one orientation; the controls already exist.
    virtual void Arrange(Orientation orientation) = 0;
    // Removes the current layout (the controls stay) so that Arrange can build a new one.
    void ClearLayout();
    PropertySheet& Sheet() const { return sheet_; }
    // The text of one of this page's controls.
    QString Text(int control) const { return ControlText(templates_.portrait, control); }

  private:
    PropertySheet& sheet_;
    Templates templates_;
    Orientation shown_ = Orientation::kPortrait;
    bool arranged_ = false;
};

class PropertySheet : public QDialog {
    Q_OBJECT
  public:
    // withTabs: the pages are listed as tabs the user switches between (an options sheet);
    // otherwise the pages change only by their commands (a wizard).
    PropertySheet(QWidget* parent, const QString& title, bool withTabs);
    ~PropertySheet() override;

    // Appends a page; the sheet owns it.
    void AddPage(SheetPage* page);
    int PageCount() const { return static_cast<int>(pages_.size()); }
    SheetPage* PageAt(int index) const;
    SheetPage* ActivePage() const;
    int ActiveIndex() const { return active_; }
    // Leaves the active page and enters another one.
    void SetActivePage(int index);

    void SetTitle(const QString& title);
    QString Title() const;

    // Installs a soft-key bar: the first entry of the menu resource is the left key, the
    // second the right key.
    void SetSoftKeys(int menu);
    void EnableCommand(int command, bool enabled);
    bool CommandEnabled(int command) const;
    // The key carrying a command, or nullptr.
    QPushButton* KeyFor(int command) const;
    // A soft-key press: runs the command when its key is there and enabled.
    bool PressCommand(int command);

    Orientation CurrentOrientation() const { return OrientationOf(size()); }
    SoftKeyBar* SoftKeys() const { return keys_; }
    QTabBar* Tabs() const { return tabs_; }

  protected:
    // Soft-key commands; the default hands them to the active page.
    virtual void OnCommand(int id);
    void resizeEvent(QResizeEvent* event) override;
    // Fits the sheet to the window it belongs to (full screen on the handheld).
    void FitToParent();

  private:
    void KeyPressed(int slot);

    QLabel* title_;
    QStackedWidget* stack_;
    QTabBar* tabs_ = nullptr;
    SoftKeyBar* keys_;
    std::vector<SheetPage*> pages_;
    int active_ = -1;
    std::array<int, 2> keyCommands_{0, 0};
    bool switching_ = false;
};

}  // namespace zul
