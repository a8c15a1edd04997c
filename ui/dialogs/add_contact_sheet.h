// AddContactSheet: one full-window form for a new contact: the account (a choice only when
// several are enabled), the login, checked as it is typed, the nickname (the login unless the
// user gives another), the group (one of the account's, or a new name that makes a new group)
// and the text sent with a request for authorisation. "Add" stays disabled, with a short
// reason under the login, while the login cannot be added: not a valid ICQ number or AIM name,
// or already in the account's list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account.h"
#include "ui/dialogs/property_sheet.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace zul {

class CAccounts;

// What a login typed for a new contact is: the rule the account applies before it sends an
// addition (an ICQ number of 5 to 10 digits; an AIM name of 3 to 16 letters, digits and spaces
// that starts with a letter, where '@', '.', '_' and '-' may appear too, and an e-mail address
// may be up to 64 characters long), so that the form never hands over what would be refused.
enum class LoginCheck { kValid, kEmpty, kBadNumber, kBadName };
LoginCheck CheckContactLogin(std::u16string_view login);

// What the form starts from.
struct AddContactStart {
    int32_t accountId = 0;  // the account to add to; 0: the user chooses an enabled one
    std::u16string login;
    std::u16string nickname;  // empty: the login
};

// What the user confirmed: the account and the addition as RequestAddContact takes it.
struct AddContactResult {
    int32_t accountId = 0;
    CAccount::ContactToAdd contact;
};

class AddContactPage;

class AddContactSheet : public PropertySheet {
    Q_OBJECT
  public:
    AddContactSheet(QWidget* parent, CAccounts& accounts, const AddContactStart& start);

    AddContactPage* Form() const;
    // Set by "Add"; empty after "Cancel".
    const std::optional<AddContactResult>& Result() const { return result_; }
    void Confirm(AddContactResult result);

  private:
    std::optional<AddContactResult> result_;
};

class AddContactPage : public SheetPage {
    Q_OBJECT
  public:
    AddContactPage(AddContactSheet& sheet, CAccounts& accounts, const AddContactStart& start);
    QString Title() const override;
    int SoftKeys() const override;
    void Entered() override;
    void Command(int id) override;

    QComboBox* AccountCombo() const { return account_; }
    QLineEdit* LoginEdit() const { return login_; }
    QLineEdit* NicknameEdit() const { return nickname_; }
    QComboBox* GroupCombo() const { return group_; }
    QPlainTextEdit* ReasonEdit() const { return reason_; }
    // Why "Add" is disabled (hidden while nothing is wrong or nothing is typed yet).
    QLabel* Problem() const { return problem_; }
    // The chosen account, or nullptr when it is gone.
    CAccount* ChosenAccount() const;
    // Why the login cannot be added now; empty when it can (or nothing is typed).
    QString LoginProblem() const;
    bool CanAdd() const;

  protected:
    void Arrange(Orientation orientation) override;

  private:
    void AccountChosen();
    void LoginEdited(const QString& text);
    void UpdateKeys();

    AddContactSheet& sheet_;
    CAccounts& accounts_;
    std::vector<int32_t> accountIds_;  // of the combo's entries
    bool chooseAccount_ = false;       // the account row is shown
    bool nicknameGiven_ = false;       // the nickname no longer follows the login
    QLabel* accountLabel_;
    QComboBox* account_;
    QLabel* loginLabel_;
    QLineEdit* login_;
    QLabel* problem_;
    QLabel* nicknameLabel_;
    QLineEdit* nickname_;
    QLabel* groupLabel_;
    QComboBox* group_;
    QLabel* reasonLabel_;
    QPlainTextEdit* reason_;
};

// Runs the form modally over the window of `parent`; the addition after "Add", nothing after
// "Cancel" (or when no account is enabled).
std::optional<AddContactResult> AskContactToAdd(QWidget* parent, CAccounts& accounts,
                                                const AddContactStart& start);

}  // namespace zul
