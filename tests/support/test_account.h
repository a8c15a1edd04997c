// A small account for model tests: records what the session's idle pass asks of the protocol
// and answers every protocol operation without a network.
#pragma once

#include <string>
#include <vector>

#include "accounts/account.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "storage/history.h"
#include "support/test_env.h"

namespace zul::test {

class TestAccount : public CAccount {
  public:
    TestAccount(const CAccountData& data, CContacts& contacts) : CAccount(data, contacts, "") {}
    ~TestAccount() override { StopSessionForDestruction(); }

    void ResetSession() override {}
    SessionStep ConnectAndLogIn() override { return SessionStep::kEnd; }
    SessionStep RunSession() override { return SessionStep::kEnd; }
    bool SendStatus(int32_t) override { return true; }
    bool SendMessageEvent(CHistoryEvent* event) override {
        if (sendLimit == 0) return false;
        --sendLimit;
        sentNumbers.push_back(event->Number());
        return true;
    }
    int ContactAction(CContact*) override {
        ++contactActions;
        return 0;
    }
    bool RenameOnServer(CContact*, const std::u16string& nickname) override {
        renames.push_back(nickname);
        return true;
    }
    bool AddOnServer(const ContactToAdd& contact) override {
        additions.push_back(contact);
        return true;
    }
    bool ChangeGroupOnServer(GroupChange& change) override {
        groupChanges.push_back(change);
        return true;
    }
    bool SendTypingNotice(CContact*, int state) override {
        typingNotices.push_back(state);
        return true;
    }
    bool RequestShortDetails(const std::u16string& login, bool) override {
        detailsRequested.push_back(login);
        return true;
    }

    int sendLimit = 1000;  // SendMessageEvent answers false once this many were sent
    std::vector<int32_t> sentNumbers;
    std::vector<std::u16string> detailsRequested;
    int contactActions = 0;
    std::vector<int> typingNotices;
    std::vector<std::u16string> renames;
    std::vector<ContactToAdd> additions;
    std::vector<GroupChange> groupChanges;
};

inline CAccountData MakeAccountData(int32_t id, const std::u16string& login, uint8_t type = 11,
                                    int32_t enabled = 1) {
    CAccountData data;
    data.SetID(id);
    data.SetType(type);
    data.SetLogin(login);
    data.SetDescription(u"Account " + login);
    data.SetServer(u"login.example");
    data.SetPort(u"5190");
    data.SetEnabled(enabled);
    return data;
}

// The text of the database log (UTF-16LE after the byte-order mark), empty when missing.
inline std::u16string DbLogText() {
    const std::string bytes = ReadFileBytes(LogFolder() + "db.log");
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                             (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return text;
}

inline bool DbLogHas(std::u16string_view text) {
    return DbLogText().find(text) != std::u16string::npos;
}

}  // namespace zul::test
