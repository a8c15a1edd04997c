// AboutSheet: the program's icon and title with the traffic of every account, the deleted ones
// included, in kilobytes.
#pragma once

#include "ui/dialogs/property_sheet.h"

namespace zul {

class CAccounts;

class AboutSheet : public PropertySheet {
    Q_OBJECT
  public:
    AboutSheet(QWidget* parent, const CAccounts& accounts);
};

class AboutPage : public SheetPage {
    Q_OBJECT
  public:
    AboutPage(AboutSheet& sheet, const CAccounts& accounts);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override { RefreshTotals(); }
    void Command(int id) override;
    // Sets the two totals from the counters as they are now.
    void RefreshTotals();

  protected:
    void Arrange(Orientation orientation) override;
    // The counters keep growing while the sheet is open: every paint shows them as they are.
    void paintEvent(QPaintEvent* event) override;

  private:
    const CAccounts& accounts_;
    QLabel* icon_;
    QLabel* name_;
    QLabel* received_;
    QLabel* sent_;
};

}  // namespace zul
