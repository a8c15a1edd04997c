#include "ui/dialogs/account_wizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "ui/dialogs/dialogs.h"
#include "ui/dialogs/options_state.h"
#include "ui/dialogs/sheet_controls.h"
#include "ui/framework/dpi.h"
#include "ui/texts/ui_texts.h"

namespace zul {
namespace {

// Text limits of the edits, in characters.
// AIM names may be e-mail addresses; AIM passwords carry up to 16 bytes.
constexpr int kLoginLimit = 64;
constexpr int kPasswordLimit = 16;
constexpr int kServerLimit = 64;
constexpr int kPortLimit = 15;
constexpr int kNameLimit = 64;

void SetPageMargins(QLayout* layout) {
    layout->setContentsMargins(ScaleX(8), ScaleY(8), ScaleX(8), ScaleY(8));
    layout->setSpacing(ScaleY(4));
}

QLineEdit* MakeEdit(int control, int limit, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(ControlName(control));
    edit->setMaxLength(limit);
    return edit;
}

QString ToQ(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// A bar whose left key reads "Cancel" closes the wizard with it; on the others it goes back.
bool LeftKeyCancels(int softKeys) {
    return softKeys == menuid::kKeysCancelNext || softKeys == menuid::kKeysCancelFinish;
}

}  // namespace

// --- AccountWizard -----------------------------------------------------------------------------

AccountWizard::AccountWizard(int mode, QWidget* parent, const CAccountData& copy,
                             const std::vector<CAccountData>& others)
    : PropertySheet(parent, QStringLiteral("-"), false), mode_(mode), copy_(copy), others_(others) {
    setWindowTitle(Str(ids::kWizard));
    AddPage(new AccountTypePage(*this));
    AddPage(new AccountMainPage(*this));
    AddPage(new AccountAdvancedPage(*this));
    AddPage(new AccountFinishPage(*this));
    int start = kTypePage;
    if (mode_ == kWizardRename) {
        start = kFinishPage;
    } else if (mode_ == kWizardEdit &&
               (copy_.Type() == acctype::kIcq || copy_.Type() == acctype::kAim)) {
        start = kMainPage;
    }
    SetActivePage(start);
}

bool AccountWizard::OscarCopy() const {
    return IsOscarType(copy_.Type());
}

void AccountWizard::Finish() {
    finished_ = true;
    accept();
}

void AccountWizard::CancelWizard() {
    finished_ = false;
    QDialog::reject();
}

// --- Account type ------------------------------------------------------------------------------

AccountTypePage::AccountTypePage(AccountWizard& wizard)
    : SheetPage(wizard, tpl::kWizardType),
      wizard_(wizard),
      label_(MakeStatic(idc::kTypeLabel, Text(idc::kTypeLabel), this)),
      combo_(new QComboBox(this)) {
    combo_->setObjectName(ControlName(idc::kTypeCombo));
    combo_->addItem(Str(ids::kSelectType));
    combo_->addItem(Str(ids::kTypeOscar));
    combo_->addItem(Str(ids::kTypeXmpp));
    connect(combo_, &QComboBox::currentIndexChanged, this, &AccountTypePage::Chosen);
}

QString AccountTypePage::Title() const {
    return Str(ids::kPageAccountType);
}

int AccountTypePage::SoftKeys() const {
    return menuid::kKeysCancelNext;
}

void AccountTypePage::Entered() {
    const uint8_t type = wizard_.Copy().Type();
    filling_ = true;
    combo_->setCurrentIndex(IsOscarType(type) ? kOscar : type == acctype::kXmpp ? kXmpp : kSelect);
    filling_ = false;
    UpdateKeys();
}

void AccountTypePage::Chosen(int entry) {
    if (filling_) return;
    CAccountData& copy = wizard_.Copy();
    if (entry == kOscar) {
        // An account already resolved to ICQ or AIM keeps its type.
        if (!IsOscarType(copy.Type())) copy.SetType(acctype::kOscarUnresolved);
    } else if (entry == kXmpp) {
        copy.SetType(acctype::kXmpp);
    } else {
        copy.SetType(0);
    }
    UpdateKeys();
}

void AccountTypePage::UpdateKeys() {
    Sheet().EnableCommand(cmd::kNext, combo_->currentIndex() == kOscar);
}

void AccountTypePage::Command(int id) {
    if (id == cmd::kNext) {
        Sheet().SetActivePage(wizard_.OscarCopy() ? AccountWizard::kMainPage
                                                  : AccountWizard::kTypePage);
    } else if (id == cmd::kBack) {
        wizard_.CancelWizard();
    }
}

void AccountTypePage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        auto* layout = new QGridLayout(this);
        SetPageMargins(layout);
        layout->addWidget(label_, 0, 0, Qt::AlignVCenter);
        layout->addWidget(combo_, 0, 1);
        layout->setColumnStretch(0, 1);
        layout->setColumnStretch(1, 1);
        layout->setRowStretch(1, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    if (orientation == Orientation::kSquare) layout->addStretch(1);
    layout->addWidget(label_);
    layout->addWidget(combo_);
    layout->addStretch(orientation == Orientation::kSquare ? 1 : 3);
}

// --- Main settings -----------------------------------------------------------------------------

AccountMainPage::AccountMainPage(AccountWizard& wizard)
    : SheetPage(wizard, tpl::kWizardMain),
      wizard_(wizard),
      loginLabel_(MakeStatic(0, Text(idc::kLogin), this)),
      login_(MakeEdit(idc::kLogin, kLoginLimit, this)),
      passwordLabel_(MakeStatic(0, Text(idc::kPassword), this)),
      password_(MakeEdit(idc::kPassword, kPasswordLimit, this)),
      serverLabel_(MakeStatic(0, Text(idc::kServer), this)),
      server_(MakeEdit(idc::kServer, kServerLimit, this)),
      portLabel_(MakeStatic(0, Text(idc::kPort), this)),
      port_(MakeEdit(idc::kPort, kPortLimit, this)),
      defaults_(new QPushButton(Text(idc::kSetDefaults), this)) {
    for (QLabel* label : {loginLabel_, passwordLabel_, serverLabel_, portLabel_})
        label->setObjectName(QString());
    defaults_->setObjectName(ControlName(idc::kSetDefaults));
    // Enter in an edit goes on (Next); it must never press "Set defaults" and overwrite the
    // server and port the user typed.
    defaults_->setAutoDefault(false);
    defaults_->setDefault(false);
    password_->setEchoMode(QLineEdit::Password);
    // Logins and addresses are typed as they are: no capital first letter, no word guessing.
    for (QLineEdit* edit : {login_, server_, port_})
        edit->setInputMethodHints(Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    port_->setInputMethodHints(port_->inputMethodHints() | Qt::ImhDigitsOnly);
    server_->setPlaceholderText(Str(ids::kLoginHostHint));
    passwordProblem_ = MakeStatic(0, Str(ids::kPasswordNotEncodable), this);
    passwordProblem_->setObjectName(QStringLiteral("passwordProblem"));
    passwordProblem_->setWordWrap(true);
    passwordProblem_->hide();
    // The login names the account: only a new account chooses it.
    login_->setReadOnly(wizard_.Mode() != kWizardNew);
    for (QLineEdit* edit : {login_, password_})
        connect(edit, &QLineEdit::textChanged, this, &AccountMainPage::UpdateKeys);
    connect(defaults_, &QPushButton::clicked, this, &AccountMainPage::SetDefaults);
}

QString AccountMainPage::Title() const {
    return Str(ids::kPageAccountSettings);
}

int AccountMainPage::SoftKeys() const {
    return wizard_.Mode() == kWizardNew ? menuid::kKeysBackNext : menuid::kKeysCancelNext;
}

QLineEdit* AccountMainPage::Edit(int control) const {
    switch (control) {
        case idc::kLogin:
            return login_;
        case idc::kPassword:
            return password_;
        case idc::kServer:
            return server_;
        case idc::kPort:
            return port_;
        default:
            return nullptr;
    }
}

void AccountMainPage::Entered() {
    const CAccountData& copy = wizard_.Copy();
    login_->setText(ToQ(copy.Login()));
    password_->setText(ToQ(copy.Password()));
    // A password kept in the keyring and not looked up yet: left empty, it stays as it is.
    password_->setPlaceholderText(copy.PasswordInKeyring() ? Str(ids::kKeptInKeyring) : QString());
    server_->setText(ToQ(copy.Server()));
    port_->setText(ToQ(copy.Port()));
    UpdateKeys();
}

bool AccountMainPage::PasswordEncodable() const {
    // The login sends the password in the legacy code page: a character it cannot hold would
    // go out half converted, so such a password is refused here, with a clear text.
    return WideToMultiByte(password_->text().toStdU16String()).has_value();
}

bool AccountMainPage::CanGoOn() const {
    if (login_->text().isEmpty()) return false;
    if (password_->text().isEmpty() && !wizard_.Copy().PasswordInKeyring()) return false;
    if (!PasswordEncodable()) return false;
    const CAccountData& copy = wizard_.Copy();
    return !LoginTaken(wizard_.Others(), copy.ID(), copy.Type(), login_->text().toStdU16String());
}

void AccountMainPage::UpdateKeys() {
    passwordProblem_->setVisible(!password_->text().isEmpty() && !PasswordEncodable());
    Sheet().EnableCommand(cmd::kNext, CanGoOn());
}

void AccountMainPage::SetDefaults() {
    server_->setText(ToQ(kDefaultLoginHost));
    port_->setText(ToQ(kDefaultLoginPort));
}

void AccountMainPage::Store() {
    CAccountData& copy = wizard_.Copy();
    copy.SetLogin(login_->text().toStdU16String());
    copy.SetPassword(password_->text().toStdU16String());
    copy.SetServer(server_->text().toStdU16String());
    copy.SetPort(port_->text().toStdU16String());
}

void AccountMainPage::Command(int id) {
    if (id == cmd::kNext) {
        if (!CanGoOn()) return;
        Store();
        Sheet().SetActivePage(AccountWizard::kAdvancedPage);
    } else if (id == cmd::kBack) {
        if (LeftKeyCancels(SoftKeys())) {
            wizard_.CancelWizard();
            return;
        }
        Store();
        Sheet().SetActivePage(AccountWizard::kTypePage);
    }
}

void AccountMainPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        // Labels beside their edits; server and port share a row.
        auto* layout = new QGridLayout(this);
        SetPageMargins(layout);
        layout->setHorizontalSpacing(ScaleX(6));
        layout->addWidget(loginLabel_, 0, 0);
        layout->addWidget(login_, 0, 1);
        layout->addWidget(passwordLabel_, 0, 2);
        layout->addWidget(password_, 0, 3);
        layout->addWidget(serverLabel_, 1, 0);
        layout->addWidget(server_, 1, 1);
        layout->addWidget(portLabel_, 1, 2);
        layout->addWidget(port_, 1, 3);
        layout->addWidget(passwordProblem_, 2, 0, 1, 3);
        layout->addWidget(defaults_, 2, 3, Qt::AlignRight);
        layout->setColumnStretch(1, 3);
        layout->setColumnStretch(3, 2);
        layout->setRowStretch(3, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    layout->addWidget(loginLabel_);
    layout->addWidget(login_);
    layout->addWidget(passwordLabel_);
    layout->addWidget(password_);
    layout->addWidget(passwordProblem_);
    layout->addWidget(serverLabel_);
    layout->addWidget(server_);
    layout->addWidget(portLabel_);
    auto* row = new QHBoxLayout();
    row->addWidget(port_, 1);
    row->addWidget(defaults_);
    layout->addLayout(row);
    layout->addStretch(1);
}

// --- Advanced settings -------------------------------------------------------------------------

AccountAdvancedPage::AccountAdvancedPage(AccountWizard& wizard)
    : SheetPage(wizard, tpl::kWizardAdvanced),
      wizard_(wizard),
      secure_(new CheckRow(idc::kSecureLogin, Text(idc::kSecureLogin), this)),
      update_(new CheckRow(idc::kUpdateContacts, Text(idc::kUpdateContacts), this)),
      tls_(new CheckRow(idc::kUseTls, Text(idc::kUseTls), this)),
      keyring_(new CheckRow(idc::kKeepInKeyring, Text(idc::kKeepInKeyring), this)) {
    connect(tls_->Box(), &QCheckBox::toggled, this, &AccountAdvancedPage::TlsToggled);
}

void AccountAdvancedPage::TlsToggled(bool on) {
    CAccountData& copy = wizard_.Copy();
    const std::u16string port = copy.Port();
    if (on && port == kDefaultLoginPort) copy.SetPort(kDefaultTlsPort);
    if (!on && port == kDefaultTlsPort) copy.SetPort(kDefaultLoginPort);
}

QString AccountAdvancedPage::Title() const {
    return Str(ids::kPageAccountAdvanced);
}

int AccountAdvancedPage::SoftKeys() const {
    return menuid::kKeysBackNext;
}

void AccountAdvancedPage::Entered() {
    const CAccountData& copy = wizard_.Copy();
    secure_->SetChecked(copy.SecureLogin() != 0);
    update_->SetChecked(copy.UpdateContactsOnLogin() != 0);
    const QSignalBlocker quiet(tls_->Box());
    tls_->SetChecked(copy.UseTls());
    keyring_->SetChecked(copy.PasswordInKeyring());
}

void AccountAdvancedPage::Command(int id) {
    if (id != cmd::kNext && id != cmd::kBack) return;
    CAccountData& copy = wizard_.Copy();
    copy.SetSecureLogin(secure_->Checked() ? 1 : 0);
    copy.SetUpdateContactsOnLogin(update_->Checked() ? 1 : 0);
    copy.SetUseTls(tls_->Checked());
    copy.SetPasswordInKeyring(keyring_->Checked());
    Sheet().SetActivePage(id == cmd::kNext ? AccountWizard::kFinishPage : AccountWizard::kMainPage);
}

void AccountAdvancedPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        auto* layout = new QGridLayout(this);
        SetPageMargins(layout);
        layout->addWidget(secure_, 0, 0, Qt::AlignTop);
        layout->addWidget(update_, 0, 1, Qt::AlignTop);
        layout->addWidget(tls_, 1, 0, Qt::AlignTop);
        layout->addWidget(keyring_, 1, 1, Qt::AlignTop);
        layout->setRowStretch(2, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    layout->addWidget(secure_);
    layout->addWidget(update_);
    layout->addWidget(tls_);
    layout->addWidget(keyring_);
    layout->addStretch(1);
}

// --- Account name ------------------------------------------------------------------------------

AccountFinishPage::AccountFinishPage(AccountWizard& wizard)
    : SheetPage(wizard, tpl::kWizardFinish),
      wizard_(wizard),
      label_(MakeStatic(idc::kNameLabel, Text(idc::kNameLabel), this)),
      name_(MakeEdit(idc::kName, kNameLimit, this)),
      enable_(new CheckRow(idc::kEnableAccount, Text(idc::kEnableAccount), this)) {
    connect(name_, &QLineEdit::textChanged, this, &AccountFinishPage::UpdateKeys);
}

QString AccountFinishPage::Title() const {
    return Str(ids::kPageAccountName);
}

int AccountFinishPage::SoftKeys() const {
    return wizard_.Mode() == kWizardRename ? menuid::kKeysCancelFinish : menuid::kKeysBackFinish;
}

void AccountFinishPage::Entered() {
    CAccountData& copy = wizard_.Copy();
    if (wizard_.Mode() == kWizardNew && copy.Description().empty())
        copy.SetDescription(DefaultAccountName(copy.Type(), copy.Login()));
    name_->setText(ToQ(copy.Description()));
    enable_->SetChecked(copy.Enabled() != 0);
    UpdateKeys();
}

bool AccountFinishPage::CanFinish() const {
    const std::u16string name = name_->text().toStdU16String();
    return !name.empty() && !NameTaken(wizard_.Others(), wizard_.Copy().ID(), name);
}

void AccountFinishPage::UpdateKeys() {
    Sheet().EnableCommand(cmd::kFinish, CanFinish());
}

void AccountFinishPage::Store() {
    CAccountData& copy = wizard_.Copy();
    copy.SetEnabled(enable_->Checked() ? 1 : 0);
    copy.SetDescription(name_->text().toStdU16String());
}

void AccountFinishPage::Command(int id) {
    if (id == cmd::kFinish) {
        if (!CanFinish()) return;
        Store();
        wizard_.Finish();
    } else if (id == cmd::kBack) {
        if (LeftKeyCancels(SoftKeys())) {
            wizard_.CancelWizard();
            return;
        }
        Store();
        Sheet().SetActivePage(wizard_.OscarCopy() ? AccountWizard::kAdvancedPage
                                                  : AccountWizard::kTypePage);
    }
}

void AccountFinishPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        auto* layout = new QGridLayout(this);
        SetPageMargins(layout);
        layout->addWidget(label_, 0, 0, Qt::AlignVCenter);
        layout->addWidget(name_, 0, 1);
        layout->addWidget(enable_, 1, 1);
        layout->setColumnStretch(1, 1);
        layout->setRowStretch(2, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    if (orientation == Orientation::kSquare) layout->addStretch(1);
    layout->addWidget(label_);
    layout->addWidget(name_);
    layout->addSpacing(ScaleY(4));
    layout->addWidget(enable_);
    layout->addStretch(orientation == Orientation::kSquare ? 1 : 3);
}

}  // namespace zul
