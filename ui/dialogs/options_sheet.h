// OptionsSheet: the pages Accounts, Advanced, Network and Language over a working copy of the
// accounts and of the option values. Nothing reaches the accounts or the settings until the
// sheet is left with "Done" and its caller applies the working state.
#pragma once

#include "ui/dialogs/options_state.h"
#include "ui/dialogs/property_sheet.h"

class QComboBox;
class QPushButton;

namespace zul {

class AccountListBox;
class CAccounts;
class CheckRow;

class OptionsSheet : public PropertySheet {
    Q_OBJECT
  public:
    enum PageIndex { kAccountsPage = 0, kAdvancedPage = 1, kNetworkPage = 2, kLanguagePage = 3 };

    // Copies the accounts and loads the working option values; starts on the Accounts page.
    OptionsSheet(QWidget* parent, CAccounts& accounts);

    OptionsWorking& Working() { return working_; }
    CAccounts& Accounts() const { return accounts_; }
    // Left with "Done" (the apply flag survived).
    bool ApplyRequested() const { return working_.apply && result() == QDialog::Accepted; }

    // Escape and closing the window count as "Cancel".
    void reject() override;

  protected:
    void OnCommand(int id) override;

  private:
    CAccounts& accounts_;
    OptionsWorking working_;
};

// Accounts: "Add new account..." and the working accounts by name.
class AccountsOptionsPage : public SheetPage {
    Q_OBJECT
  public:
    AccountsOptionsPage(OptionsSheet& sheet);

    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;

    AccountListBox* List() const { return list_; }
    // Working-list index of the account on a list row; -1 for "Add new account..." and
    // outside the list.
    int AccountAt(int row) const;
    // Fills the list again and puts the caret on a row.
    void Refresh(int selectRow);
    // The row that shows the working account with this identifier; -1 when none does.
    int RowOfAccount(int32_t id) const;

    // What the row and its menu do.
    void ActivateRow(int row);
    void RunMenuCommand(int row, int command);
    // The popup "Edit" for a row, with "Enabled" checked as the account is.
    QMenu* BuildMenu(int row);

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void OpenMenu(int row, QPoint global);
    void RunWizard(int mode, int index);

    OptionsSheet& options_;
    AccountListBox* list_;
    QLabel* hint_;
    std::vector<int> rowAccounts_;  // working index per list row after the first
};

// Advanced: the check boxes of the connection, the drawing, the views and the sound, and the
// text size of the contact list and the chats.
class AdvancedOptionsPage : public SheetPage {
    Q_OBJECT
  public:
    explicit AdvancedOptionsPage(OptionsSheet& sheet);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Leaving() override;
    CheckRow* Check(int control) const;

  protected:
    void Arrange(Orientation orientation) override;

  private:
    OptionsWorking& working_;
    std::vector<CheckRow*> checks_;
    QLabel* textSizeLabel_;
    QComboBox* textSize_;
    QLabel* coloursLabel_;
    QComboBox* colours_;
};

// Network: "Use proxy server" and its settings button, both disabled; UseProxy is carried.
class NetworkOptionsPage : public SheetPage {
    Q_OBJECT
  public:
    explicit NetworkOptionsPage(OptionsSheet& sheet);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Leaving() override;

  protected:
    void Arrange(Orientation orientation) override;

  private:
    OptionsWorking& working_;
    CheckRow* useProxy_;
    QPushButton* settings_;
};

// Language: the language list; the choice applies at the next start.
class LanguageOptionsPage : public SheetPage {
    Q_OBJECT
  public:
    explicit LanguageOptionsPage(OptionsSheet& sheet);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    QComboBox* Combo() const { return combo_; }

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void Chosen(int index);

    OptionsWorking& working_;
    QLabel* label_;
    QComboBox* combo_;
    QLabel* note_;
    bool filling_ = false;
};

}  // namespace zul
