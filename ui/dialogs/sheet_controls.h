// Small controls of the sheet pages: a check box whose text wraps, and a wrapped static text.
// Each carries its control id as object name ("idc<number>").
#pragma once

#include <QLabel>
#include <QWidget>

class QCheckBox;

namespace zul {

// A check box with a word-wrapped text beside it; tapping the text toggles the box.
class CheckRow : public QWidget {
    Q_OBJECT
  public:
    CheckRow(int control, const QString& text, QWidget* parent);
    QCheckBox* Box() const { return box_; }
    bool Checked() const;
    void SetChecked(bool checked);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    QCheckBox* box_;
    QLabel* label_;
};

// A static text that wraps at the page's width.
QLabel* MakeStatic(int control, const QString& text, QWidget* parent);

}  // namespace zul
