// Identifiers of the sheets' templates, controls, strings and commands, and the lookups of
// their texts through the chosen language.
#pragma once

#include <QString>

namespace zul {

// How the sheet's window is shaped: narrower than tall, square, or wider than tall.
enum class Orientation { kPortrait = 0, kSquare = 1, kLandscape = 2 };

// The three layouts of a page, by template id. The portrait id names the page's texts.
struct Templates {
    int portrait;
    int square;
    int landscape;
    int For(Orientation o) const {
        return o == Orientation::kPortrait ? portrait
               : o == Orientation::kSquare ? square
                                           : landscape;
    }
};

namespace tpl {
constexpr Templates kOptionsAccounts{102, 153, 133};
constexpr Templates kOptionsAdvanced{212, 212, 213};
constexpr Templates kOptionsNetwork{108, 108, 160};
constexpr Templates kOptionsLanguage{132, 132, 148};
constexpr Templates kWizardType{136, 154, 137};
constexpr Templates kWizardMain{135, 135, 146};
constexpr Templates kWizardAdvanced{145, 145, 147};
constexpr Templates kWizardFinish{142, 155, 143};
constexpr Templates kAbout{105, 105, 106};
}  // namespace tpl

// Controls. Widgets carry "idc<number>" as their object name.
namespace idc {
constexpr int kAccountList = 1009;
constexpr int kAccountsHint = 1036;
constexpr int kRestoreStatuses = 1070;
constexpr int kReconnect = 1080;
constexpr int kTransparency = 1102;
constexpr int kFocusEditor = 1107;
constexpr int kOpenByDoubleTap = 1108;
constexpr int kPlaySound = 1109;
constexpr int kSoundInChat = 1112;
constexpr int kRejoinRooms = 1113;
constexpr int kTextSizeLabel = 1110;
constexpr int kTextSizeCombo = 1111;
constexpr int kUseProxy = 1086;
constexpr int kProxySettings = 1085;
constexpr int kLanguageCombo = 1045;
constexpr int kLanguageLabel = 1046;
constexpr int kLanguageNote = 1047;
constexpr int kTypeLabel = 1022;
constexpr int kTypeCombo = 1015;
constexpr int kLogin = 1024;
constexpr int kPassword = 1026;
constexpr int kServer = 1027;
constexpr int kPort = 1004;
constexpr int kSetDefaults = 1000;
constexpr int kSecureLogin = 1067;
constexpr int kUpdateContacts = 1102;
constexpr int kUseTls = 1103;
constexpr int kKeepInKeyring = 1104;
constexpr int kNameLabel = 1023;
constexpr int kName = 1025;
constexpr int kEnableAccount = 1100;
constexpr int kAboutIcon = 146;
constexpr int kReceived = 1095;
constexpr int kSent = 1096;
}  // namespace idc

// String ids.
namespace ids {
constexpr int kDeleteAccount = 200;
constexpr int kReceived = 203;
constexpr int kSent = 204;
constexpr int kAddAccount = 209;
constexpr int kPageAccounts = 210;
constexpr int kPageLanguage = 211;
constexpr int kPageNetwork = 212;
constexpr int kPageAdvanced = 213;
constexpr int kPageAccountType = 800;
constexpr int kPageAccountName = 801;
constexpr int kSelectType = 802;
constexpr int kTypeOscar = 803;
constexpr int kTypeXmpp = 804;
constexpr int kWizard = 805;
constexpr int kPageAccountSettings = 810;
constexpr int kPageAccountAdvanced = 811;
constexpr int kLoginHostHint = 812;
constexpr int kPasswordNotEncodable = 813;
constexpr int kCertificateUntrusted = 820;
constexpr int kCertificateChanged = 821;
constexpr int kCertificateSubject = 822;
constexpr int kCertificateIssuer = 823;
constexpr int kCertificateFingerprint = 824;
constexpr int kCertificateValidFrom = 825;
constexpr int kCertificateValidUntil = 826;
constexpr int kCertificateProblem = 827;
constexpr int kTrustCertificate = 828;
constexpr int kTrustAdvice = 829;
constexpr int kPasswordOf = 830;
constexpr int kKeptInKeyring = 831;
}  // namespace ids

// Soft-key and popup commands.
namespace cmd {
constexpr int kDone = 32787;
constexpr int kCancel = 32791;
constexpr int kNext = 32792;
constexpr int kBack = 32793;  // labelled "Cancel" on the bars 133 and 150
constexpr int kFinish = 32794;
constexpr int kOk = 32796;
constexpr int kEdit = 32800;
constexpr int kRename = 32803;
constexpr int kDelete = 32799;
constexpr int kEnabled = 32814;
}  // namespace cmd

// A string of the active language.
QString Str(int id);
// The text of a control of a page (by its portrait template), from the active language.
QString ControlText(int dialog, int control);
// The text of a command of a menu resource (soft-key bars, popups), from the active language.
QString CommandText(int menu, int command);
// Object name of a control: "idc<number>".
QString ControlName(int control);

}  // namespace zul
