// AccountWizard: the pages account type, main settings, advanced settings and account name over
// one copy of an account. Editing starts on the main page (ICQ/AIM) or the type page, a new
// account on the type page, renaming on the name page. The copy goes back to the Options
// sheet's working list only when the wizard is finished.
#pragma once

#include <vector>

#include "storage/account_data.h"
#include "ui/dialogs/property_sheet.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace zul {

class CheckRow;

// The login host a new ICQ/AIM account starts with, and "Set defaults" writes.
// No login host is the default any more: the service the client once knew is gone, and each
// community server names its own. The edit shows a hint instead.
inline constexpr char16_t kDefaultLoginHost[] = u"";
inline constexpr char16_t kDefaultLoginPort[] = u"5190";
// The port suggested when TLS is switched on: the one the old service's encrypted login used,
// and one that firewalls let through.
inline constexpr char16_t kDefaultTlsPort[] = u"443";

class AccountWizard : public PropertySheet {
    Q_OBJECT
  public:
    enum PageIndex { kTypePage = 0, kMainPage = 1, kAdvancedPage = 2, kFinishPage = 3 };

    // `copy` is the account to work on (a fresh one for a new account); `others` the Options
    // sheet's working list, for the uniqueness tests.
    AccountWizard(int mode, QWidget* parent, const CAccountData& copy,
                  const std::vector<CAccountData>& others);

    int Mode() const { return mode_; }
    CAccountData& Copy() { return copy_; }
    const std::vector<CAccountData>& Others() const { return others_; }
    bool Finished() const { return finished_; }
    // The copy is an ICQ/AIM account (types 1, 11, 12).
    bool OscarCopy() const;

    // "Finish": the copy is done.
    void Finish();
    // Closes without a result.
    void CancelWizard();

    void reject() override { CancelWizard(); }

  private:
    int mode_;
    CAccountData copy_;
    const std::vector<CAccountData>& others_;
    bool finished_ = false;
};

class AccountTypePage : public SheetPage {
    Q_OBJECT
  public:
    enum Entry { kSelect = 0, kOscar = 1, kXmpp = 2 };
    explicit AccountTypePage(AccountWizard& wizard);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Command(int id) override;
    QComboBox* Combo() const { return combo_; }

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void Chosen(int entry);
    void UpdateKeys();

    AccountWizard& wizard_;
    QLabel* label_;
    QComboBox* combo_;
    bool filling_ = false;
};

class AccountMainPage : public SheetPage {
    Q_OBJECT
  public:
    explicit AccountMainPage(AccountWizard& wizard);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Command(int id) override;
    QLineEdit* Edit(int control) const;
    QPushButton* DefaultsButton() const { return defaults_; }
    // Login and password given, and no other account of the type has the login.
    bool CanGoOn() const;

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void Store();
    void UpdateKeys();
    void SetDefaults();
    bool PasswordEncodable() const;

    AccountWizard& wizard_;
    QLabel* passwordProblem_ = nullptr;
    QLabel* loginLabel_;
    QLineEdit* login_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QLabel* serverLabel_;
    QLineEdit* server_;
    QLabel* portLabel_;
    QLineEdit* port_;
    QPushButton* defaults_;
};

class AccountAdvancedPage : public SheetPage {
    Q_OBJECT
  public:
    explicit AccountAdvancedPage(AccountWizard& wizard);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Command(int id) override;
    CheckRow* SecureLogin() const { return secure_; }
    CheckRow* UpdateContacts() const { return update_; }
    CheckRow* UseTls() const { return tls_; }
    CheckRow* KeepInKeyring() const { return keyring_; }

  protected:
    void Arrange(Orientation orientation) override;

  private:
    // Switching TLS on moves the plain default port to the usual TLS one, and back.
    void TlsToggled(bool on);

    AccountWizard& wizard_;
    CheckRow* secure_;
    CheckRow* update_;
    CheckRow* tls_;
    CheckRow* keyring_;
};

class AccountFinishPage : public SheetPage {
    Q_OBJECT
  public:
    explicit AccountFinishPage(AccountWizard& wizard);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Command(int id) override;
    QLineEdit* NameEdit() const { return name_; }
    CheckRow* EnableCheck() const { return enable_; }
    // A name is given and no other account has it.
    bool CanFinish() const;

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void Store();
    void UpdateKeys();

    AccountWizard& wizard_;
    QLabel* label_;
    QLineEdit* name_;
    CheckRow* enable_;
};

}  // namespace zul
