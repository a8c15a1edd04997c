// What the server-side list brings in, applied to the account's contacts: the edits another
// place of the account made, and other users' authorisation requests and answers.
#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "accounts/account.h"
#include "accounts/session_events.h"
#include "platform/resources.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {
namespace {

constexpr int kStrAuthGranted = 1025;
constexpr int kStrAuthDenied = 1026;
constexpr int kStrAuthAsked = 1043;

// A buddy or a group another place added or changed: taken as a download takes it.
void TakeListItem(CAccount& account, const event::ListItem& item) {
    CContacts& contacts = account.Contacts();
    if (item.kind == event::ListItem::kGroup) {
        contacts.AddOrUpdateGroup(account.ID(), item.name, item.groupId);
        return;
    }
    account.OnServerListBuddy(item);
}

// A removal another place made: only the contact the store has under that group and item id
// goes (a move there adds the new item before it removes the old one), and a group only once
// no contact on the list is left in it.
void RemoveListItem(CAccount& account, const event::ListItem& item) {
    CContacts& contacts = account.Contacts();
    if (item.kind == event::ListItem::kBuddy) {
        const ContactPtr contact = contacts.FindContact(&account, item.name);
        if (contact && contact->OnServer() && contact->GroupID() == item.groupId &&
            contact->SrvID() == item.itemId) {
            contacts.DeleteContact(contact.get());
        }
        return;
    }
    const std::vector<ContactPtr> members = contacts.ContactsOf(&account);
    if (std::any_of(members.begin(), members.end(), [&item](const ContactPtr& c) {
            return c->OnServer() && c->GroupID() == item.groupId;
        })) {
        return;
    }
    if (contacts.RemoveGroupOf(account.ID(), item.groupId)) contacts.dbCleanGroups(&account);
}

}  // namespace

ContactPtr CAccount::OnServerListBuddy(const event::ListItem& item,
                                       const std::unordered_set<int32_t>* storedIDs) {
    return OnServerListBuddy(ContactFields{.srvID = item.itemId,
                                           .groupID = item.groupId,
                                           .groupName = contacts_.GroupName(ID(), item.groupId),
                                           .login = item.name,
                                           .nickname = item.nickname,
                                           .note = item.note,
                                           .email = item.email,
                                           .phone = item.phone,
                                           .awaitingAuth = item.awaitingAuth,
                                           .onServer = true},
                             storedIDs);
}

void CAccount::Apply(const event::ListEdit& edit) {
    bool changed = false;
    for (const event::ListItem& item : edit.items) {
        // The list's root group is no group of the store's.
        if (item.kind == event::ListItem::kGroup && item.groupId == 0) continue;
        try {
            if (edit.change == event::ListEdit::kRemoved) {
                RemoveListItem(*this, item);
            } else {
                TakeListItem(*this, item);
            }
            changed = true;
        } catch (const std::exception&) {
            // One item the store cannot take does not cost the others.
        }
    }
    if (changed) contacts_.Rebuild();
}

// The request and its reason are stored as the asker's message, and the contact carries the
// question until the user grants or denies it.
void CAccount::Apply(const event::AuthorisationRequest& request) {
    std::u16string text = ResString(kStrAuthAsked);
    if (!request.reason.empty()) text += u" " + request.reason;
    // The contact carries the question before its message tells of it, so that the message's
    // notification offers the answers.
    const ContactPtr contact = SenderContact(request.login, kStatusOffline);
    if (!contact) return;
    contact->SetAuthAsked(true);
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
    contact->Redraw();
}

// Granted clears the awaiting mark; either way the chat says so.
void CAccount::Apply(const event::AuthorisationAnswer& answer) {
    ContactPtr contact = contacts_.FindContact(this, answer.login);
    if (!contact) return;
    if (answer.granted && contact->AwaitingAuth()) {
        contact->SetAwaitingAuth(0);
        contact->dbSave();
    }
    std::u16string text = ResString(answer.granted ? kStrAuthGranted : kStrAuthDenied);
    if (!answer.reason.empty()) text += u" " + answer.reason;
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
}

}  // namespace zul
