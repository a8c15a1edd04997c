#include "ui/dialogs/options_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/options.h"
#include "ui/dialogs/account_list_box.h"
#include "ui/dialogs/dialogs.h"
#include "ui/dialogs/sheet_controls.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/texts/language_list.h"
#include "ui/texts/ui_resources.h"

namespace zul {
namespace {

void SetPageMargins(QLayout* layout) {
    layout->setContentsMargins(ScaleX(8), ScaleY(8), ScaleX(8), ScaleY(8));
    layout->setSpacing(ScaleY(6));
}

}  // namespace

// --- OptionsSheet ------------------------------------------------------------------------------

OptionsSheet::OptionsSheet(QWidget* parent, CAccounts& accounts)
    : PropertySheet(parent, QStringLiteral("-"), true),
      accounts_(accounts),
      working_(LoadOptionsWorking(accounts, Options(), CurrentUiLanguage())) {
    AddPage(new AccountsOptionsPage(*this));
    AddPage(new AdvancedOptionsPage(*this));
    AddPage(new NetworkOptionsPage(*this));
    AddPage(new LanguageOptionsPage(*this));
    SetActivePage(kAccountsPage);
}

void OptionsSheet::OnCommand(int id) {
    if (id != cmd::kDone && id != cmd::kCancel) {
        PropertySheet::OnCommand(id);
        return;
    }
    if (SheetPage* page = ActivePage()) page->Leaving();
    if (id == cmd::kDone) {
        accept();
    } else {
        working_.apply = false;
        QDialog::reject();
    }
}

void OptionsSheet::reject() {
    OnCommand(cmd::kCancel);
}

// --- Accounts ----------------------------------------------------------------------------------

AccountsOptionsPage::AccountsOptionsPage(OptionsSheet& sheet)
    : SheetPage(sheet, tpl::kOptionsAccounts),
      options_(sheet),
      list_(new AccountListBox(this)),
      hint_(MakeStatic(idc::kAccountsHint, Text(idc::kAccountsHint), this)) {
    list_->setObjectName(ControlName(idc::kAccountList));
    list_->setFont(UiFont(1, false));
    connect(list_, &AccountListBox::RowActivated, this, &AccountsOptionsPage::ActivateRow);
    connect(list_, &AccountListBox::RowMenuRequested, this, &AccountsOptionsPage::OpenMenu);
    Refresh(0);
}

QString AccountsOptionsPage::Title() const {
    return Str(ids::kPageAccounts);
}

int AccountsOptionsPage::SoftKeys() const {
    return menuid::kKeysCancelDone;
}

void AccountsOptionsPage::Entered() {
    list_->setFocus(Qt::OtherFocusReason);
}

void AccountsOptionsPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        auto* layout = new QHBoxLayout(this);
        SetPageMargins(layout);
        layout->addWidget(list_, 3);
        layout->addWidget(hint_, 2, Qt::AlignTop);
    } else if (orientation == Orientation::kSquare) {
        auto* layout = new QVBoxLayout(this);
        SetPageMargins(layout);
        layout->addWidget(hint_);
        layout->addWidget(list_, 1);
    } else {
        auto* layout = new QVBoxLayout(this);
        SetPageMargins(layout);
        layout->addWidget(list_, 1);
        layout->addWidget(hint_);
    }
}

int AccountsOptionsPage::AccountAt(int row) const {
    if (row < 1 || row > static_cast<int>(rowAccounts_.size())) return -1;
    return rowAccounts_[static_cast<size_t>(row - 1)];
}

int AccountsOptionsPage::RowOfAccount(int32_t id) const {
    const auto& accounts = options_.Working().accounts;
    for (size_t r = 0; r < rowAccounts_.size(); ++r)
        if (accounts[static_cast<size_t>(rowAccounts_[r])].ID() == id)
            return static_cast<int>(r) + 1;
    return -1;
}

void AccountsOptionsPage::Refresh(int selectRow) {
    const auto& accounts = options_.Working().accounts;
    rowAccounts_.clear();
    for (size_t i = 0; i < accounts.size(); ++i) rowAccounts_.push_back(static_cast<int>(i));
    // The collection's display order: by name, ties in list order.
    std::stable_sort(rowAccounts_.begin(), rowAccounts_.end(), [&accounts](int a, int b) {
        return CompareNoCase(accounts[static_cast<size_t>(a)].Description(),
                             accounts[static_cast<size_t>(b)].Description()) < 0;
    });
    list_->clear();
    // Rows tall enough for a finger.
    const QSize rowSize(0, ScaleY(24));
    auto* add = new QListWidgetItem(Str(ids::kAddAccount));
    add->setSizeHint(rowSize);
    list_->addItem(add);
    for (int index : rowAccounts_) {
        const CAccountData& account = accounts[static_cast<size_t>(index)];
        auto* item = new QListWidgetItem(QString::fromStdU16String(account.Description()));
        item->setSizeHint(rowSize);
        if (!account.Enabled())
            item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
        list_->addItem(item);
    }
    list_->PlaceCaret(std::clamp(selectRow, 0, list_->count() - 1));
}

void AccountsOptionsPage::ActivateRow(int row) {
    if (row == 0) {
        RunWizard(kWizardNew, -1);
        return;
    }
    const int index = AccountAt(row);
    if (index >= 0) RunWizard(kWizardEdit, index);
}

void AccountsOptionsPage::RunWizard(int mode, int index) {
    auto& accounts = options_.Working().accounts;
    const int32_t id = index >= 0 ? accounts[static_cast<size_t>(index)].ID() : 0;
    if (!OpenWizard(mode, &options_, accounts, index, options_.Accounts())) {
        Refresh(list_->CaretRow());
        return;
    }
    // The new account is the last of the working list; an edited one may have moved.
    const int32_t shown = mode == kWizardNew ? accounts.back().ID() : id;
    Refresh(0);
    list_->PlaceCaret(std::max(0, RowOfAccount(shown)));
}

QMenu* AccountsOptionsPage::BuildMenu(int row) {
    const int index = AccountAt(row);
    if (index < 0) return nullptr;
    const MenuResource resource = UiMenu(menuid::kAccountEdit);
    const MenuNode* popup = resource.FindPopup(u"Edit");
    if (popup == nullptr) return nullptr;
    auto* menu = new QMenu(this);
    FillMenu(*menu, *popup);
    if (QAction* enabled = FindMenuCommand(*menu, cmd::kEnabled)) {
        enabled->setCheckable(true);
        enabled->setChecked(options_.Working().accounts[static_cast<size_t>(index)].Enabled() != 0);
    }
    return menu;
}

void AccountsOptionsPage::OpenMenu(int row, QPoint global) {
    QMenu* menu = BuildMenu(row);
    if (menu == nullptr) return;
    list_->PlaceCaret(row);
    QAction* chosen = menu->exec(global);
    const int command = chosen != nullptr && chosen->data().isValid() ? chosen->data().toInt() : 0;
    menu->deleteLater();
    if (command != 0) RunMenuCommand(row, command);
}

void AccountsOptionsPage::RunMenuCommand(int row, int command) {
    auto& accounts = options_.Working().accounts;
    const int index = AccountAt(row);
    if (index < 0) return;
    switch (command) {
        case cmd::kEdit:
            RunWizard(kWizardEdit, index);
            break;
        case cmd::kRename:
            RunWizard(kWizardRename, index);
            break;
        case cmd::kDelete:
            if (!Confirm(&options_, Str(ids::kDeleteAccount))) return;
            accounts.erase(accounts.begin() + index);
            Refresh(std::max(0, row - 1));
            break;
        case cmd::kEnabled: {
            CAccountData& account = accounts[static_cast<size_t>(index)];
            account.SetEnabled(account.Enabled() ? 0 : 1);
            Refresh(row);
            break;
        }
        default:
            break;
    }
}

// --- Advanced ----------------------------------------------------------------------------------

namespace {

// The colours' label and choices (string ids).
constexpr int kStrColours = 1070;
constexpr int kStrColoursDesktop = 1071;
constexpr int kStrColoursLight = 1072;
constexpr int kStrColoursDark = 1073;

struct AdvancedCheck {
    int control;
    OptionInt COptions::*value;
};

constexpr AdvancedCheck kAdvancedChecks[] = {
    {idc::kRestoreStatuses, &COptions::RestoreLastStatusesOnStart},
    {idc::kReconnect, &COptions::ReconnectOnError},
    {idc::kTransparency, &COptions::EnableTransparency},
    {idc::kFocusEditor, &COptions::HistorySetFocusOnEditor},
    {idc::kOpenByDoubleTap, &COptions::ClistOpenByDoubleClick},
    {idc::kPlaySound, &COptions::NotifSoundOn},
    {idc::kSoundInChat, &COptions::NotifSoundInChat},
    {idc::kRejoinRooms, &COptions::RejoinRooms},
};

}  // namespace

AdvancedOptionsPage::AdvancedOptionsPage(OptionsSheet& sheet)
    : SheetPage(sheet, tpl::kOptionsAdvanced),
      working_(sheet.Working()),
      textSizeLabel_(MakeStatic(idc::kTextSizeLabel, Text(idc::kTextSizeLabel), this)),
      textSize_(new QComboBox(this)),
      coloursLabel_(MakeStatic(0, Str(kStrColours), this)),
      colours_(new QComboBox(this)) {
    for (const AdvancedCheck& check : kAdvancedChecks)
        checks_.push_back(new CheckRow(check.control, Text(check.control), this));
    // The sizes as the View menus name them, largest first (the options' 0 to 4).
    constexpr int kSizeNames[] = {363, 364, 365, 366, 367};
    for (int id : kSizeNames) textSize_->addItem(Str(id));
    textSize_->setObjectName(ControlName(idc::kTextSizeCombo));
    // In the order of the option's values: the desktop's, light, dark.
    for (int id : {kStrColoursDesktop, kStrColoursLight, kStrColoursDark})
        colours_->addItem(Str(id));
    colours_->setObjectName(QStringLiteral("ColourScheme"));
}

QString AdvancedOptionsPage::Title() const {
    return Str(ids::kPageAdvanced);
}

int AdvancedOptionsPage::SoftKeys() const {
    return menuid::kKeysCancelDone;
}

CheckRow* AdvancedOptionsPage::Check(int control) const {
    for (size_t i = 0; i < checks_.size(); ++i)
        if (kAdvancedChecks[i].control == control) return checks_[i];
    return nullptr;
}

void AdvancedOptionsPage::Entered() {
    for (size_t i = 0; i < checks_.size(); ++i)
        checks_[i]->SetChecked(working_.options.*kAdvancedChecks[i].value != 0);
    textSize_->setCurrentIndex(std::clamp<int>(working_.options.ClistTextSize, 0, 4));
    colours_->setCurrentIndex(std::clamp<int>(working_.options.ColourScheme, 0, 2));
}

void AdvancedOptionsPage::Leaving() {
    for (size_t i = 0; i < checks_.size(); ++i)
        working_.options.*kAdvancedChecks[i].value = checks_[i]->Checked() ? 1 : 0;
    // One size for both; the View menus of the pages still set each on its own.
    const int size = textSize_->currentIndex();
    if (size >= 0 && size != std::clamp<int>(working_.options.ClistTextSize, 0, 4)) {
        working_.options.ClistTextSize = size;
        working_.options.HistoryTextSize = size;
    }
    if (colours_->currentIndex() >= 0) working_.options.ColourScheme = colours_->currentIndex();
}

void AdvancedOptionsPage::Arrange(Orientation orientation) {
    if (orientation == Orientation::kLandscape) {
        // Two columns: the connection on the left, the views on the right.
        auto* layout = new QGridLayout(this);
        SetPageMargins(layout);
        layout->setHorizontalSpacing(ScaleX(12));
        for (size_t i = 0; i < checks_.size(); ++i) {
            const int n = static_cast<int>(i);
            layout->addWidget(checks_[i], n % 3, n / 3, Qt::AlignTop);
        }
        layout->addWidget(textSizeLabel_, 3, 0);
        layout->addWidget(textSize_, 3, 1);
        layout->addWidget(coloursLabel_, 4, 0);
        layout->addWidget(colours_, 4, 1);
        layout->setRowStretch(5, 1);
        layout->setColumnStretch(0, 1);
        layout->setColumnStretch(1, 1);
        return;
    }
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    for (CheckRow* check : checks_) layout->addWidget(check);
    layout->addSpacing(ScaleY(6));
    layout->addWidget(textSizeLabel_);
    layout->addWidget(textSize_);
    layout->addSpacing(ScaleY(6));
    layout->addWidget(coloursLabel_);
    layout->addWidget(colours_);
    layout->addStretch(1);
}

// --- Network -----------------------------------------------------------------------------------

NetworkOptionsPage::NetworkOptionsPage(OptionsSheet& sheet)
    : SheetPage(sheet, tpl::kOptionsNetwork),
      working_(sheet.Working()),
      useProxy_(new CheckRow(idc::kUseProxy, Text(idc::kUseProxy), this)),
      settings_(new QPushButton(Text(idc::kProxySettings), this)) {
    settings_->setObjectName(ControlName(idc::kProxySettings));
    // There is no proxy support: both controls stay disabled, the value is only carried.
    useProxy_->setEnabled(false);
    settings_->setEnabled(false);
}

QString NetworkOptionsPage::Title() const {
    return Str(ids::kPageNetwork);
}

int NetworkOptionsPage::SoftKeys() const {
    return menuid::kKeysCancelDone;
}

void NetworkOptionsPage::Entered() {
    useProxy_->SetChecked(working_.options.UseProxy != 0);
}

void NetworkOptionsPage::Leaving() {
    working_.options.UseProxy = useProxy_->Checked() ? 1 : 0;
}

void NetworkOptionsPage::Arrange(Orientation orientation) {
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    if (orientation == Orientation::kLandscape) {
        auto* row = new QHBoxLayout();
        row->addWidget(useProxy_, 1);
        row->addWidget(settings_, 0, Qt::AlignTop);
        layout->addLayout(row);
    } else {
        layout->addWidget(useProxy_);
        layout->addWidget(settings_, 0, Qt::AlignLeft);
    }
    layout->addStretch(1);
}

// --- Language ----------------------------------------------------------------------------------

LanguageOptionsPage::LanguageOptionsPage(OptionsSheet& sheet)
    : SheetPage(sheet, tpl::kOptionsLanguage),
      working_(sheet.Working()),
      label_(MakeStatic(idc::kLanguageLabel, Text(idc::kLanguageLabel), this)),
      combo_(new QComboBox(this)),
      note_(MakeStatic(idc::kLanguageNote, Text(idc::kLanguageNote), this)) {
    combo_->setObjectName(ControlName(idc::kLanguageCombo));
    for (const auto& entry : LanguageList())
        combo_->addItem(QString::fromStdU16String(entry->name));
    connect(combo_, &QComboBox::currentIndexChanged, this, &LanguageOptionsPage::Chosen);
}

QString LanguageOptionsPage::Title() const {
    return Str(ids::kPageLanguage);
}

int LanguageOptionsPage::SoftKeys() const {
    return menuid::kKeysCancelDone;
}

void LanguageOptionsPage::Entered() {
    filling_ = true;
    combo_->setCurrentIndex(combo_->count() > 0 ? LanguageIndex(working_.chosenLanguage) : -1);
    filling_ = false;
}

void LanguageOptionsPage::Chosen(int index) {
    if (filling_ || index < 0) return;
    const uint16_t id = LanguageIdAt(index);
    working_.options.LanguageID = id;
    working_.chosenLanguage = id;
}

void LanguageOptionsPage::Arrange(Orientation orientation) {
    auto* layout = new QVBoxLayout(this);
    SetPageMargins(layout);
    if (orientation == Orientation::kLandscape) {
        auto* row = new QHBoxLayout();
        row->addWidget(label_, 1);
        row->addWidget(combo_, 1, Qt::AlignTop);
        layout->addLayout(row);
    } else {
        layout->addWidget(label_);
        layout->addWidget(combo_);
    }
    layout->addSpacing(ScaleY(8));
    layout->addWidget(note_);
    layout->addStretch(1);
}

}  // namespace zul
