#include "ui/dialogs/dialogs.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "accounts/accounts.h"
#include "platform/resources.h"
#include "ui/dialogs/about_sheet.h"
#include "ui/dialogs/account_wizard.h"
#include "ui/dialogs/options_sheet.h"
#include "ui/texts/ui_texts.h"

namespace zul {

bool OpenOptions(QWidget* parent, CAccounts& accounts) {
    OptionsSheet sheet(parent, accounts);
    sheet.exec();
    if (!sheet.ApplyRequested()) return false;
    ApplyOptions(accounts, sheet.Working());
    return true;
}

bool OpenWizard(int mode, QWidget* parent, std::vector<CAccountData>& working, int index,
                const CAccounts& accounts) {
    const bool onAccount = index >= 0 && index < static_cast<int>(working.size());
    if (mode != kWizardNew && !onAccount) return false;

    CAccountData copy;
    if (mode == kWizardNew) {
        // A fresh ICQ/AIM-to-be account, enabled, with the service's login host.
        copy.SetID(NewAccountId(accounts, working));
        copy.SetEnabled(1);
        copy.SetServer(kDefaultLoginHost);
        copy.SetPort(kDefaultLoginPort);
        // Today's servers take the MD5 login; the scrambled password is a fixed XOR.
        copy.SetSecureLogin(1);
    } else {
        copy = working[static_cast<size_t>(index)];
    }

    AccountWizard wizard(mode, parent, copy, working);
    wizard.exec();
    if (!wizard.Finished()) return false;
    if (mode == kWizardNew) {
        working.push_back(wizard.Copy());
    } else {
        working[static_cast<size_t>(index)] = wizard.Copy();
    }
    return true;
}

void OpenAbout(QWidget* parent, CAccounts& accounts) {
    AboutSheet sheet(parent, accounts);
    sheet.exec();
}

bool Confirm(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdU16String(AppTitle()), text,
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    // The buttons read as the soft keys of the active language do.
    const QString ok = CommandText(menuid::kKeysOk, cmd::kOk);
    const QString cancel = CommandText(menuid::kKeysCancelDone, cmd::kCancel);
    if (!ok.isEmpty()) box.button(QMessageBox::Ok)->setText(ok);
    if (!cancel.isEmpty()) box.button(QMessageBox::Cancel)->setText(cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

bool AskToTrustCertificate(QWidget* parent, const QString& account,
                           const TlsCertificate& certificate, bool changed) {
    QMessageBox box(
        changed ? QMessageBox::Warning : QMessageBox::Question,
        QString::fromStdU16String(AppTitle()),
        Str(changed ? ids::kCertificateChanged : ids::kCertificateUntrusted).arg(account),
        QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("certificateBox"));
    auto line = [](int label, const std::string& value) {
        return value.empty() ? QString()
                             : Str(label) + QLatin1Char('\n') + QString::fromStdString(value) +
                                   QStringLiteral("\n\n");
    };
    box.setInformativeText(line(ids::kCertificateSubject, certificate.subject) +
                           line(ids::kCertificateIssuer, certificate.issuer) +
                           line(ids::kCertificateFingerprint, certificate.sha256) +
                           line(ids::kCertificateValidFrom, certificate.notBefore) +
                           line(ids::kCertificateValidUntil, certificate.notAfter) +
                           line(ids::kCertificateProblem, certificate.problem) +
                           Str(ids::kTrustAdvice));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPushButton* trust = box.addButton(Str(ids::kTrustCertificate), QMessageBox::AcceptRole);
    trust->setObjectName(QStringLiteral("trustCertificate"));
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    const QString cancelText = CommandText(menuid::kKeysCancelDone, cmd::kCancel);
    if (!cancelText.isEmpty()) cancel->setText(cancelText);
    // Enter or Escape never trusts by accident.
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == trust;
}

bool AskForPassword(QWidget* parent, const QString& account, const QString& reason,
                    std::u16string& password) {
    QInputDialog box(parent);
    box.setObjectName(QStringLiteral("passwordBox"));
    box.setWindowTitle(QString::fromStdU16String(AppTitle()));
    box.setLabelText(reason + QLatin1Char('\n') + Str(ids::kPasswordOf).arg(account));
    box.setTextEchoMode(QLineEdit::Password);
    const QString ok = CommandText(menuid::kKeysOk, cmd::kOk);
    const QString cancel = CommandText(menuid::kKeysCancelDone, cmd::kCancel);
    if (!ok.isEmpty()) box.setOkButtonText(ok);
    if (!cancel.isEmpty()) box.setCancelButtonText(cancel);
    if (box.exec() != QDialog::Accepted || box.textValue().isEmpty()) return false;
    password = box.textValue().toStdU16String();
    return true;
}

}  // namespace zul
