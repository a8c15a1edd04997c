// The sheets the main window's "Menu" opens: the Options sheet (with the account wizard it
// opens) and the About sheet, and the confirmation box they share. Each runs modally and
// returns when it is closed.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "platform/tls.h"
#include "storage/account_data.h"

class QWidget;

namespace zul {

class CAccounts;

// Wizard modes.
enum WizardMode { kWizardEdit = 0, kWizardNew = 1, kWizardRename = 2 };

// Runs the Options sheet; after "Done" applies the changes to the accounts and the settings
// and returns true; after "Cancel" nothing changes and it returns false.
bool OpenOptions(QWidget* parent, CAccounts& accounts);

// Runs the account wizard on the Options sheet's working list: edits or renames the account at
// `index`, or appends a new one (mode kWizardNew; `accounts` hands out its identifier). True
// when the wizard was finished and the list changed.
bool OpenWizard(int mode, QWidget* parent, std::vector<CAccountData>& working, int index,
                const CAccounts& accounts);

// Runs the About sheet with the traffic totals.
void OpenAbout(QWidget* parent, CAccounts& accounts);

// An OK/Cancel warning box captioned with the application title; true on OK.
bool Confirm(QWidget* parent, const QString& text);

// Shows the certificate a server of the account presented (subject, issuer, fingerprint,
// validity and why nobody vouches for it) with "Trust this certificate" and "Cancel"; a
// certificate that replaced a trusted one comes with a warning. True when the user trusts it.
bool AskToTrustCertificate(QWidget* parent, const QString& account,
                           const TlsCertificate& certificate, bool changed);

// Asks for the password of the account, saying why (`reason`), with a masked edit and
// OK/Cancel. True with `password` set when the user gave one.
bool AskForPassword(QWidget* parent, const QString& account, const QString& reason,
                    std::u16string& password);

// The entry points the main window's "&Options..." and "&About..." commands call.
inline bool RunOptionsSheet(QWidget* parent, CAccounts& accounts) {
    return OpenOptions(parent, accounts);
}
inline void RunAboutSheet(QWidget* parent, CAccounts& accounts) {
    OpenAbout(parent, accounts);
}

}  // namespace zul
