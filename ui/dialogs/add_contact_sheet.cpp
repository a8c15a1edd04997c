#include "ui/dialogs/add_contact_sheet.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "ui/dialogs/sheet_controls.h"
#include "ui/framework/dpi.h"
#include "ui/texts/ui_texts.h"

namespace zul {
namespace {

// The form has no dialog template of its own: these only tell its layouts apart.
constexpr Templates kTemplates{170, 170, 171};

// Texts.
constexpr int kStrTitle = 307;
constexpr int kStrLogin = 308;
constexpr int kStrGroup = 309;
constexpr int kStrReason = 310;
constexpr int kStrReasonDefault = 311;
constexpr int kStrAccount = 312;
constexpr int kStrNickname = 306;
constexpr int kStrAdd = 352;
constexpr int kStrBadNumber = 382;
constexpr int kStrBadName = 383;
constexpr int kStrAlreadyListed = 384;

// Text limits of the edits, in characters (an AIM name may be an e-mail address).
constexpr int kLoginLimit = 64;
constexpr int kNameLimit = 64;
// Lines of the request text shown at once.
constexpr int kReasonLines = 3;
// Heights a finger hits, in unscaled pixels: the fields, and the rows of a combo box's list.
constexpr int kFieldHeight = 30;
constexpr int kListRowHeight = 36;

// A combo box's list with rows tall enough for a finger.
class TouchRows : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), ScaleY(kListRowHeight)));
        return size;
    }
};

bool Digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool Letter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

QString ToQ(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// The names of the account's groups on the server list, in the store's order.
QStringList GroupsOf(CAccount& account) {
    QStringList names;
    for (const CContacts::GroupEntry& g : account.Contacts().Groups()) {
        if (g.accountID != account.ID()) continue;
        const QString name = ToQ(g.name);
        if (!name.isEmpty() && !names.contains(name, Qt::CaseInsensitive)) names << name;
    }
    return names;
}

}  // namespace

LoginCheck CheckContactLogin(std::u16string_view login) {
    if (login.empty()) return LoginCheck::kEmpty;
    if (std::all_of(login.begin(), login.end(), Digit))
        return login.size() >= 5 && login.size() <= 10 ? LoginCheck::kValid
                                                       : LoginCheck::kBadNumber;
    const bool email = login.find(u'@') != std::u16string_view::npos;
    if (login.size() < 3 || login.size() > (email ? 64u : 16u) || !Letter(login.front()))
        return LoginCheck::kBadName;
    const bool allowed = std::all_of(login.begin(), login.end(), [](char16_t c) {
        return Letter(c) || Digit(c) || c == u' ' || c == u'@' || c == u'.' || c == u'_' ||
               c == u'-';
    });
    return allowed ? LoginCheck::kValid : LoginCheck::kBadName;
}

// --- AddContactSheet ---------------------------------------------------------------------------

AddContactSheet::AddContactSheet(QWidget* parent, CAccounts& accounts, const AddContactStart& start)
    : PropertySheet(parent, Str(kStrTitle), false) {
    setObjectName(QStringLiteral("addContactSheet"));
    AddPage(new AddContactPage(*this, accounts, start));
    SetActivePage(0);
}

AddContactPage* AddContactSheet::Form() const {
    return static_cast<AddContactPage*>(PageAt(0));
}

void AddContactSheet::Confirm(AddContactResult result) {
    result_ = std::move(result);
    accept();
}

// --- AddContactPage ----------------------------------------------------------------------------

AddContactPage::AddContactPage(AddContactSheet& sheet, CAccounts& accounts,
                               const AddContactStart& start)
    : SheetPage(sheet, kTemplates),
      sheet_(sheet),
      accounts_(accounts),
      accountLabel_(MakeStatic(0, Str(kStrAccount), this)),
      account_(new QComboBox(this)),
      loginLabel_(MakeStatic(0, Str(kStrLogin), this)),
      login_(new QLineEdit(this)),
      problem_(MakeStatic(0, QString(), this)),
      nicknameLabel_(MakeStatic(0, Str(kStrNickname), this)),
      nickname_(new QLineEdit(this)),
      groupLabel_(MakeStatic(0, Str(kStrGroup), this)),
      group_(new QComboBox(this)),
      reasonLabel_(MakeStatic(0, Str(kStrReason), this)),
      reason_(new QPlainTextEdit(this)) {
    account_->setObjectName(QStringLiteral("account"));
    login_->setObjectName(QStringLiteral("login"));
    problem_->setObjectName(QStringLiteral("loginProblem"));
    nickname_->setObjectName(QStringLiteral("nickname"));
    group_->setObjectName(QStringLiteral("group"));
    reason_->setObjectName(QStringLiteral("reason"));
    for (QComboBox* combo : {account_, group_}) combo->setItemDelegate(new TouchRows(combo));
    for (QWidget* field : std::initializer_list<QWidget*>{account_, login_, nickname_, group_})
        field->setMinimumHeight(ScaleY(kFieldHeight));
    accountLabel_->setBuddy(account_);
    loginLabel_->setBuddy(login_);
    nicknameLabel_->setBuddy(nickname_);
    groupLabel_->setBuddy(group_);
    reasonLabel_->setBuddy(reason_);

    // The enabled accounts, or the one the addition was started from.
    size_t enabled = 0;
    for (const CAccount* a : accounts_.Snapshot()) {
        if (!a->Enabled()) continue;
        ++enabled;
        if (start.accountId != 0 && a->ID() != start.accountId) continue;
        accountIds_.push_back(a->ID());
        account_->addItem(ToQ(a->Description()));
    }
    if (accountIds_.empty() && start.accountId != 0) {
        if (CAccount* given = accounts_.Find(start.accountId)) {
            accountIds_.push_back(given->ID());
            account_->addItem(ToQ(given->Description()));
        }
    }
    // With one account there is nothing to choose; a fixed account is shown when it is one
    // of several.
    chooseAccount_ = enabled > 1;
    account_->setEnabled(accountIds_.size() > 1);

    login_->setMaxLength(kLoginLimit);
    login_->setText(ToQ(start.login));
    login_->setInputMethodHints(Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    nickname_->setMaxLength(kNameLimit);
    nicknameGiven_ = !start.nickname.empty() && start.nickname != start.login;
    nickname_->setText(ToQ(start.nickname.empty() ? start.login : start.nickname));
    group_->setEditable(true);
    group_->setInsertPolicy(QComboBox::NoInsert);
    group_->lineEdit()->setMaxLength(kNameLimit);
    reason_->setPlainText(Str(kStrReasonDefault));
    reason_->setTabChangesFocus(true);
    reason_->setFixedHeight(reason_->fontMetrics().lineSpacing() * kReasonLines +
                            2 * (reason_->frameWidth() + ScaleY(4)));
    problem_->hide();

    connect(account_, &QComboBox::currentIndexChanged, this, &AddContactPage::AccountChosen);
    connect(login_, &QLineEdit::textEdited, this, &AddContactPage::LoginEdited);
    connect(login_, &QLineEdit::textChanged, this, &AddContactPage::UpdateKeys);
    connect(nickname_, &QLineEdit::textEdited, this, [this] { nicknameGiven_ = true; });
    AccountChosen();
}

QString AddContactPage::Title() const {
    return Str(kStrTitle);
}

int AddContactPage::SoftKeys() const {
    return menuid::kKeysCancelDone;
}

void AddContactPage::Entered() {
    // The right key adds, says so, and answers Enter.
    if (QPushButton* key = Sheet().KeyFor(cmd::kDone)) {
        key->setText(Str(kStrAdd));
        key->setDefault(true);
    }
    if (login_->text().isEmpty()) {
        login_->setFocus();
    } else {
        nickname_->setFocus();
        nickname_->selectAll();
    }
    UpdateKeys();
}

CAccount* AddContactPage::ChosenAccount() const {
    const int index = account_->currentIndex();
    if (index < 0 || index >= static_cast<int>(accountIds_.size())) return nullptr;
    return accounts_.Find(accountIds_[static_cast<size_t>(index)]);
}

void AddContactPage::AccountChosen() {
    // The account's groups, its first one offered; a name typed over it makes a new group.
    group_->clear();
    if (CAccount* account = ChosenAccount()) group_->addItems(GroupsOf(*account));
    UpdateKeys();
}

void AddContactPage::LoginEdited(const QString& text) {
    if (!nicknameGiven_) nickname_->setText(text.trimmed());
}

QString AddContactPage::LoginProblem() const {
    const std::u16string login = login_->text().trimmed().toStdU16String();
    switch (CheckContactLogin(login)) {
        case LoginCheck::kEmpty:
            return {};
        case LoginCheck::kBadNumber:
            return Str(kStrBadNumber);
        case LoginCheck::kBadName:
            return Str(kStrBadName);
        case LoginCheck::kValid:
            break;
    }
    CAccount* account = ChosenAccount();
    if (account == nullptr) return {};
    // A contact only this client knows (not on the server list) may still be added.
    const ContactPtr known = account->Contacts().FindContact(account, login);
    if (known && known->OnServer() && !known->Removed())
        return Str(kStrAlreadyListed).arg(ToQ(known->Login()), ToQ(known->DisplayName()));
    return {};
}

bool AddContactPage::CanAdd() const {
    return ChosenAccount() != nullptr && !login_->text().trimmed().isEmpty() &&
           LoginProblem().isEmpty();
}

void AddContactPage::UpdateKeys() {
    const QString problem = LoginProblem();
    problem_->setText(problem);
    problem_->setVisible(!problem.isEmpty());
    Sheet().EnableCommand(cmd::kDone, CanAdd());
}

void AddContactPage::Command(int id) {
    if (id == cmd::kCancel) {
        sheet_.reject();
        return;
    }
    if (id != cmd::kDone || !CanAdd()) return;
    AddContactResult result;
    result.accountId = ChosenAccount()->ID();
    result.contact = {
        login_->text().trimmed().toStdU16String(), nickname_->text().trimmed().toStdU16String(),
        group_->currentText().trimmed().toStdU16String(), reason_->toPlainText().toStdU16String()};
    sheet_.Confirm(std::move(result));
}

void AddContactPage::Arrange(Orientation orientation) {
    accountLabel_->setVisible(chooseAccount_);
    account_->setVisible(chooseAccount_);
    const int gap = ScaleY(6);
    if (orientation == Orientation::kLandscape) {
        // Labels beside their fields.
        auto* layout = new QGridLayout(this);
        layout->setContentsMargins(ScaleX(8), ScaleY(8), ScaleX(8), ScaleY(8));
        layout->setHorizontalSpacing(ScaleX(8));
        layout->setVerticalSpacing(ScaleY(4));
        int row = 0;
        if (chooseAccount_) {
            layout->addWidget(accountLabel_, row, 0);
            layout->addWidget(account_, row++, 1);
        }
        layout->addWidget(loginLabel_, row, 0);
        layout->addWidget(login_, row++, 1);
        layout->addWidget(problem_, row++, 1);
        layout->addWidget(nicknameLabel_, row, 0);
        layout->addWidget(nickname_, row++, 1);
        layout->addWidget(groupLabel_, row, 0);
        layout->addWidget(group_, row++, 1);
        layout->addWidget(reasonLabel_, row, 0, Qt::AlignTop);
        layout->addWidget(reason_, row++, 1);
        layout->setColumnStretch(1, 1);
        layout->setRowStretch(row, 1);
        return;
    }
    // Portrait and square: each label over its field, one column a thumb can go down.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(ScaleX(8), ScaleY(8), ScaleX(8), ScaleY(8));
    layout->setSpacing(ScaleY(2));
    if (chooseAccount_) {
        layout->addWidget(accountLabel_);
        layout->addWidget(account_);
        layout->addSpacing(gap);
    }
    layout->addWidget(loginLabel_);
    layout->addWidget(login_);
    layout->addWidget(problem_);
    layout->addSpacing(gap);
    layout->addWidget(nicknameLabel_);
    layout->addWidget(nickname_);
    layout->addSpacing(gap);
    layout->addWidget(groupLabel_);
    layout->addWidget(group_);
    layout->addSpacing(gap);
    layout->addWidget(reasonLabel_);
    layout->addWidget(reason_);
    layout->addStretch(1);
}

std::optional<AddContactResult> AskContactToAdd(QWidget* parent, CAccounts& accounts,
                                                const AddContactStart& start) {
    AddContactSheet sheet(parent, accounts, start);
    if (sheet.Form()->ChosenAccount() == nullptr) return std::nullopt;
    sheet.exec();
    return sheet.Result();
}

}  // namespace zul
