// SoftKeyBar: the bar under the main window with the two soft keys: the left one labelled
// by the current page, the right one "Menu".
#pragma once

#include <QWidget>

class QPushButton;

namespace zul {

class SoftKeyBar : public QWidget {
    Q_OBJECT
  public:
    explicit SoftKeyBar(QWidget* parent = nullptr);

    void SetLeftKey(const QString& label, bool enabled);
    void SetRightKey(const QString& label);
    QPushButton* LeftKey() const { return left_; }
    QPushButton* RightKey() const { return right_; }
    // Height the bar asks for: a line of the medium font with room around it.
    int BarHeight() const;

  signals:
    void LeftPressed();
    void RightPressed();

  private:
    QPushButton* left_;
    QPushButton* right_;
};

}  // namespace zul
