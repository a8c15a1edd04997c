#include "accounts/account.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <unordered_map>
#include <variant>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "storage/change_feed.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {
namespace {

// String ids of the progress texts and of the group of contacts outside the server list.
constexpr int kStrConnectingTo = 1000;
constexpr int kStrLoggingIn = 1002;
constexpr int kStrLoadingSettings = 1005;
constexpr int kStrWaitingForNetwork = 1006;
constexpr int kStrNotInList = 303;

}  // namespace

CAccount::CAccount(const CAccountData& data, CContacts& contacts, std::string profileFolder)
    : CStoreAccount(data),
      contacts_(contacts),
      profileFolder_(std::move(profileFolder)),
      lastStatus_(data.Status()) {
    // The live account starts offline (this also sets the status text and icon); it may ask
    // for its last status once the protocol class is built.
    SetStatus(kStatusOffline);
    if (Enabled()) LoadContacts();
}

CAccount::~CAccount() {
    StopSessionForDestruction();
    // A chat's page read handed to the writer thread reaches this account's contacts.
    contacts_.Db().FlushDeferred();
    contacts_.RemoveAccount(ID());
}

// --- hooks ---------------------------------------------------------------------------------------

void CAccount::OnStatusChanged() {
    const int32_t status = Status();
    const uint8_t type = EffectiveType();
    busy_.store(false);
    SetStatusText(StatusName(type, status));
    SetStatusIconId(zul::StatusIcon(type, status, kMoodNone));
    if (status == kStatusOffline) contacts_.SetAccountOffline(this);
    MarkRepaint();
}

void CAccount::OnDescriptionChanged(std::u16string) {
    MarkRepaint();
}

void CAccount::OnEnabledChanged() {
    // The session thread drops, after its stop, what a session added meanwhile.
    std::lock_guard lock(enableMutex_);
    if (!Enabled()) {
        Disconnect(true);
        contacts_.RemoveAccount(ID());
        SetLoaded(false);
    } else if (!Loaded()) {
        LoadContacts();
    }
    MarkRepaint();
}

void CAccount::OnOwnerAvatarChanged() {
    ownerAvatarVersion_.fetch_add(1);
    MarkRepaint();
}

// --- state shown by the accounts page ------------------------------------------------------------

std::u16string CAccount::StatusText() const {
    std::lock_guard lock(textMutex_);
    return statusText_;
}

void CAccount::SetStatusText(const std::u16string& text) {
    {
        std::lock_guard lock(textMutex_);
        statusText_ = text;
    }
    MarkRepaint();
}

void CAccount::SetStatusIconId(int icon) {
    statusIcon_.store(icon);
    MarkRepaint();
}

void CAccount::SetProgressText(const std::u16string& text) {
    busy_.store(true);
    statusIcon_.store(accicon::kBusy);
    bool changed = false;
    {
        std::lock_guard lock(textMutex_);
        if (statusText_ != text) {
            statusText_ = text;
            changed = true;
        }
    }
    if (changed) MarkRepaint();
}

void CAccount::SetProgressWaitingForNetwork() {
    SetProgressText(ResString(kStrWaitingForNetwork));
}

void CAccount::SetProgressConnecting() {
    SetProgressConnecting(Server(), Port());
}

void CAccount::SetProgressConnecting(const std::u16string& host, const std::u16string& port) {
    SetProgressText(ResString(kStrConnectingTo) + u" " + host + u":" + port);
}

void CAccount::SetProgressLoggingIn() {
    SetProgressText(ResString(kStrLoggingIn));
}

void CAccount::SetProgressLoadingSettings() {
    SetProgressText(ResString(kStrLoadingSettings));
}

// --- loaders -------------------------------------------------------------------------------------

bool CAccount::dbLoadGroups() {
    return contacts_.dbLoadGroupsOf(ID());
}

bool CAccount::dbLoadContacts_Grouped() {
    return contacts_.dbLoadContactsOf(this);
}

bool CAccount::LoadContacts() {
    if (dbLoadGroups() && dbLoadContacts_Grouped()) {
        // Names as the server last formatted them show from the start, also offline.
        contacts_.LoadFormattedNames(this);
        contacts_.CompactIndex();
        // The rooms are read with the contacts: a sign-on that joins them reads nothing more.
        Rooms();
        SetLoaded(true);
        contacts_.Rebuild();
        return true;
    }
    // Nothing half loaded stays behind: enabling the account again loads it whole.
    contacts_.RemoveAccount(ID());
    SetLoaded(false);
    return false;
}

// --- entry points of the protocol services -------------------------------------------------------

ContactPtr CAccount::OnServerListBuddy(const ContactFields& fields,
                                       const std::unordered_set<int32_t>* storedIDs) {
    if (!IsUsableLogin(fields.login)) return nullptr;
    if (ContactPtr contact = contacts_.FindContact(this, fields.login)) {
        contact->UpdateFromServer(fields);
        return contact;
    }
    ContactPtr contact = contacts_.AddNewContact(this, fields, true, true, storedIDs);
    if (contact && (fields.nickname.empty() || EqualNoCase(fields.nickname, fields.login))) {
        contact->MarkNeedsDetails();
        MarkRepaint();
    }
    return contact;
}

ContactPtr CAccount::SenderContact(const std::u16string& login, int32_t status) {
    ContactPtr contact = contacts_.FindContact(this, login);
    if (contact) return contact;
    if (!IsUsableLogin(login)) {
        WriteLog(kGeneralLog, u"A message from an unusable login was not stored");
        return nullptr;
    }
    contact = contacts_.AddNewLocalContact(
        this,
        ContactFields{.groupName = ResString(kStrNotInList), .login = login, .nickname = login},
        true, true);
    // The profile refused the contact: its message cannot be kept either.
    if (!contact) return nullptr;
    contact->MarkNeedsDetails();
    contact->SetStatus(status, u"", kMoodNone, false, false);
    return contact;
}

void CAccount::Apply(const SessionEvent& event) {
    struct Visitor {
        CAccount& account;
        void operator()(const event::Message& m) const {
            if (ContactPtr contact = account.SenderContact(m.login, m.status))
                contact->AddMessage(evdir::kIncoming, m.text, m.time, contact->Status(),
                                    contact->Mood());
        }
        void operator()(const event::Typing& t) const {
            account.contacts_.SetTyping(&account, t.login, t.typing);
        }
        void operator()(const event::Presence& p) const {
            ContactPtr contact = account.contacts_.FindContact(&account, p.login);
            if (!contact) return;
            if (p.idleSince) contact->SetIdleSince(*p.idleSince);
            bool textChanged = p.textChanged;
            std::u16string text = p.text;
            // An AIM name's status text while away is its away message: back, the text goes.
            if (contact->ProtocolKind() == acctype::kAim && contact->Status() == kStatusAway &&
                p.status != kStatusAway && !textChanged) {
                textChanged = true;
                text.clear();
            }
            if (account.contacts_.UpdatePresence(*contact, p.status, textChanged, text, p.mood,
                                                 p.quiet))
                account.MarkRepaint();
        }
        void operator()(const event::Delivery& d) const {
            try {
                ContactPtr contact = account.contacts_.FindContact(&account, d.login);
                if (!contact) return;
                // Each is saved and redrawn outside the history's lock (the profile's comes
                // first in the lock order).
                for (const EventPtr& sent : contact->History().AwaitingServerWord(d.number)) {
                    switch (d.kind) {
                        case event::Delivery::kDelivered:
                            sent->SetDelivered(1);
                            break;
                        case event::Delivery::kRefused:
                            sent->SetErrorCode(kErrorRefusedBase + d.code);
                            break;
                        case event::Delivery::kUnsent:
                            sent->SetSent(0);
                            account.NoteOutboxWork();
                            break;
                    }
                    sent->dbSave();
                    sent->Redraw();
                }
            } catch (const std::exception&) {
                // The messages stay as they were: given up by the undelivered rule at worst.
            }
        }
        void operator()(const event::ListEdit& e) const { account.Apply(e); }
        void operator()(const event::AuthorisationRequest& e) const { account.Apply(e); }
        void operator()(const event::AuthorisationAnswer& e) const { account.Apply(e); }
    };
    std::visit(Visitor{*this}, event);
}

// --- idle work -----------------------------------------------------------------------------------

void CAccount::RequestAddContact(ContactToAdd contact) {
    std::lock_guard lock(addsMutex_);
    adds_.push_back(std::move(contact));
    WakeSession();
}

CRoomList& CAccount::Rooms() {
    CRoomList* rooms = nullptr;
    {
        std::lock_guard lock(roomsMutex_);
        if (!rooms_) rooms_ = std::make_unique<CRoomList>(ID());
        rooms = rooms_.get();
    }
    rooms->Load();
    return *rooms;
}

CAccount::RoomCommand CAccount::RoomCommand::Join(std::u16string name, uint16_t exchange) {
    RoomCommand c;
    c.kind = kJoin;
    c.exchange = exchange;
    c.name = std::move(name);
    return c;
}

CAccount::RoomCommand CAccount::RoomCommand::Leave(int64_t room) {
    RoomCommand c;
    c.kind = kLeave;
    c.room = room;
    return c;
}

CAccount::RoomCommand CAccount::RoomCommand::Say(int64_t room, std::u16string text) {
    RoomCommand c;
    c.kind = kSay;
    c.room = room;
    c.text = std::move(text);
    return c;
}

CAccount::RoomCommand CAccount::RoomCommand::Invite(int64_t room, std::u16string login,
                                                    std::u16string text) {
    RoomCommand c = Say(room, std::move(text));
    c.kind = kInvite;
    c.name = std::move(login);
    return c;
}

CAccount::RoomCommand CAccount::RoomCommand::Answer(uint32_t invitation, bool accept) {
    RoomCommand c;
    c.kind = accept ? kAccept : kDecline;
    c.invitation = invitation;
    return c;
}

void CAccount::RequestRoom(RoomCommand command) {
    if (!SessionRunning() &&
        (command.kind == RoomCommand::kJoin || command.kind == RoomCommand::kLeave)) {
        if (command.kind == RoomCommand::kJoin) {
            Rooms().Open(command.exchange, command.name);
        } else if (RoomPtr room = Rooms().Find(command.room)) {
            room->SetKept(false);
        }
        return;
    }
    {
        std::lock_guard lock(roomsMutex_);
        roomCommands_.push_back(std::move(command));
    }
    WakeSession();
}

std::vector<CAccount::RoomCommand> CAccount::TakeRoomCommands() {
    std::lock_guard lock(roomsMutex_);
    std::vector<RoomCommand> taken;
    taken.swap(roomCommands_);
    return taken;
}

void CAccount::RequestGroupChange(GroupChange change) {
    std::lock_guard lock(addsMutex_);
    groupChanges_.push_back(std::move(change));
    WakeSession();
}

namespace {
constexpr int kStrDetailsOffline = 1037;
constexpr int kStrDetailsNotSent = 1038;
constexpr int kStrSearchNotPossible = 1044;
// Details kept for the pages that show them; the oldest go first.
constexpr size_t kMaxDetails = 64;
}  // namespace

void CAccount::ChangeStatusNote(const std::u16string& text) {
    // A note is one line of reasonable length, whatever was pasted.
    std::u16string note = text.substr(0, 250);
    for (char16_t& c : note)
        if (c == u'\n' || c == u'\r' || c == u'\t') c = u' ';
    if (note == StatusNote()) return;
    SetStatusNote(note);
    dbSave();
    noteChanged_.store(true);
    WakeSession();
    MarkRepaint();
}

void CAccount::ChangeProfile(const std::u16string& text) {
    const std::u16string profile = text.substr(0, kMaxProfileCharacters);
    if (profile == Profile()) return;
    SetProfile(profile);
    dbSave();
    profileChanged_.store(true);
    WakeSession();
    MarkRepaint();
}

namespace {

// The picture formats every client of these networks shows, by their first bytes.
bool IsPictureFormat(const std::vector<uint8_t>& bytes) {
    static const std::vector<std::vector<uint8_t>> kSignatures = {
        {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
        {0xFF, 0xD8, 0xFF},
        {'G', 'I', 'F', '8', '7', 'a'},
        {'G', 'I', 'F', '8', '9', 'a'},
    };
    for (const std::vector<uint8_t>& signature : kSignatures)
        if (bytes.size() > signature.size() &&
            std::equal(signature.begin(), signature.end(), bytes.begin()))
            return true;
    return false;
}

}  // namespace

CAccount::PictureProblem CAccount::ChangeOwnPicture(std::vector<uint8_t> picture) {
    if (!picture.empty() && !IsPictureFormat(picture)) return PictureProblem::kNotAnImage;
    if (picture.size() > kMaxOwnPictureBytes) return PictureProblem::kTooLarge;
    if (picture == OwnerAvatar()) return PictureProblem::kNone;
    SetOwnerAvatar(picture.data(), picture.size(), true);
    ownPictureChanged_.store(true);
    WakeSession();
    MarkRepaint();
    return PictureProblem::kNone;
}

void CAccount::ChangePrivacyMode(uint8_t mode) {
    if (mode < 1 || mode > 5 || mode == PrivacyChoice()) return;
    SetPrivacyChoice(mode);
    dbSave();
    noteChanged_.store(true);  // the status frames carry the privacy item
    WakeSession();
    MarkRepaint();
}

void CAccount::RequestSearch(DirectorySearch::By by, const std::u16string& text) {
    const bool offline = Status() == kStatusOffline;
    UpdateSearch([&](DirectorySearch& s) {
        s = DirectorySearch();
        s.searching = !offline;
        if (offline) s.error = ResString(kStrDetailsOffline);
    });
    if (offline) return;
    {
        std::lock_guard lock(detailsMutex_);
        searchAsked_.emplace(by, text);
    }
    WakeSession();
}

DirectorySearch CAccount::Search() const {
    std::lock_guard lock(detailsMutex_);
    return search_;
}

void CAccount::MarkRepaint() {
    repaint_.store(true);
    Changes().Publish(Change{Change::Kind::kRepaint});
}

void CAccount::UpdateSearch(const std::function<void(DirectorySearch&)>& change) {
    {
        std::lock_guard lock(detailsMutex_);
        change(search_);
    }
    searchVersion_.fetch_add(1);
    Changes().Publish(Change{Change::Kind::kRepaint});
}

void CAccount::RequestContactDetails(const std::u16string& login) {
    if (Status() == kStatusOffline) {
        UpdateDetails(login, [](ContactDetails& d) {
            d = ContactDetails();
            d.error = ResString(kStrDetailsOffline);
        });
        return;
    }
    UpdateDetails(login, [](ContactDetails& d) {
        d = ContactDetails();
        d.waiting = 1;  // until the idle pass has sent the requests
    });
    {
        std::lock_guard lock(detailsMutex_);
        if (std::find(detailsAsked_.begin(), detailsAsked_.end(), login) == detailsAsked_.end())
            detailsAsked_.push_back(login);
    }
    WakeSession();
}

ContactDetails CAccount::DetailsOf(const std::u16string& login) const {
    std::lock_guard lock(detailsMutex_);
    const auto it = details_.find(login);
    return it == details_.end() ? ContactDetails() : it->second;
}

void CAccount::UpdateDetails(const std::u16string& login,
                             const std::function<void(ContactDetails&)>& change) {
    {
        std::lock_guard lock(detailsMutex_);
        if (details_.size() >= kMaxDetails && details_.find(login) == details_.end())
            details_.erase(details_.begin());
        change(details_[login]);
    }
    detailsVersion_.fetch_add(1);
    Changes().Publish(Change{Change::Kind::kRepaint});
}

void CAccount::RunIdleTasks() {
    if (Status() == kStatusOffline) return;
    ExpireRequests();
    if (noteChanged_.exchange(false)) SendStatus(Status());
    if (profileChanged_.exchange(false)) SendProfile();
    if (ownPictureChanged_.load() && SendOwnPicture()) ownPictureChanged_.store(false);
    std::vector<ContactToAdd> adds;
    std::vector<GroupChange> groupChanges;
    {
        std::lock_guard lock(addsMutex_);
        adds.swap(adds_);
        groupChanges.swap(groupChanges_);
    }
    for (const ContactToAdd& add : adds) AddOnServer(add);
    std::vector<GroupChange> waiting;
    for (GroupChange& change : groupChanges)
        if (!ChangeGroupOnServer(change)) waiting.push_back(std::move(change));
    if (!waiting.empty()) {
        std::lock_guard lock(addsMutex_);
        groupChanges_.insert(groupChanges_.begin(), waiting.begin(), waiting.end());
    }
    std::vector<std::u16string> asked;
    {
        std::lock_guard lock(detailsMutex_);
        asked.swap(detailsAsked_);
    }
    std::optional<std::pair<DirectorySearch::By, std::u16string>> search;
    {
        std::lock_guard lock(detailsMutex_);
        search.swap(searchAsked_);
    }
    if (search && !SendSearch(search->first, search->second)) {
        UpdateSearch([](DirectorySearch& s) {
            s.searching = false;
            s.error = ResString(kStrSearchNotPossible);
        });
    }
    for (const std::u16string& login : asked) {
        const int parts = SendDetailsRequests(login);
        UpdateDetails(login, [&](ContactDetails& d) {
            d.waiting = parts;
            if (parts == 0) d.error = ResString(kStrDetailsNotSent);
        });
    }
    // The contacts are walked only when one of them has asked for something (or a typing
    // notice waits for its gap): an idle account's pass touches none of them.
    if (contactWork_.exchange(false) || typingOwed_) RunContactRequests();
    FlushOutbox();
}

void CAccount::RunContactRequests() {
    typingOwed_ = false;
    const std::vector<ContactPtr> mine = contacts_.ContactsOf(this);
    for (const ContactPtr& c : mine) {
        if (c->TakeNeedsDetails()) RequestShortDetails(c->Login(), false);
    }
    for (const ContactPtr& c : mine) {
        if (c->TakePendingAction()) ContactAction(c.get());
        if (auto nickname = c->TakeRenameRequest()) RenameOnServer(c.get(), *nickname);
        if (auto group = c->TakeMoveRequest()) MoveOnServer(c.get(), *group);
        if (const int answer = c->TakeAuthAnswer(); answer >= 0) {
            AnswerAuthorisation(c.get(), answer == 1);
        }
        if (auto reason = c->TakeAuthorisationRequest()) AskAuthorisation(c.get(), *reason);
        // Typing notices go to online contacts only; a change meanwhile is dropped.
        if (const std::optional<int> typing = c->TypingNoticeDue(GetTick())) {
            if (c->Status() != kStatusOffline) SendTypingNotice(c.get(), *typing);
        }
        // A change within the gap since the last notice goes on a later pass.
        if (c->TypingNoticeOwed()) typingOwed_ = true;
    }
}

namespace {

// Messages the outbox has sent and not yet marked sent in the profile. Their rows, with the
// traffic counter, are written in one transaction at most every kOutboxBatchMs (and when the
// flush ends, also by an error), not one commit per message; the sends themselves never wait
// for the profile.
class SentBatch {
  public:
    static constexpr uint32_t kOutboxBatchMs = 100;

    explicit SentBatch(CAccount& account) : account_(account) { Open(); }
    ~SentBatch() { Save(); }
    SentBatch(const SentBatch&) = delete;
    SentBatch& operator=(const SentBatch&) = delete;

    void Add(const EventPtr& event) {
        if (sent_.empty()) started_ = GetTick();
        sent_.push_back(event);
    }
    void SaveWhenDue() {
        if (!sent_.empty() && GetTick() - started_ >= kOutboxBatchMs) {
            Save();
            Open();
        }
    }
    void Save() {
        if (!counters_) return;
        CTransaction transaction;
        for (const EventPtr& event : sent_) event->dbSave();
        sent_.clear();
        counters_.reset();  // writes the counter row
        transaction.Commit();
    }

  private:
    void Open() { counters_.emplace(account_); }

    CAccount& account_;
    std::vector<EventPtr> sent_;
    uint32_t started_ = 0;
    std::optional<CounterBatch> counters_;
};

}  // namespace

void CAccount::FlushOutbox() {
    if (Status() == kStatusOffline) return;
    std::lock_guard flushing(outboxMutex_);
    if (!outboxWork_.exchange(false)) return;
    // Whatever ends the flush early (a send refused for now, a stop, an error) leaves the
    // outbox marked for the next pass, and so does a message that awaits the server's word:
    // the undelivered rule gives it up in time.
    bool markAgain = true;
    struct Remark {
        ~Remark() {
            if (again) account.outboxWork_.store(true);
        }
        CAccount& account;
        const bool& again;
    } remark{*this, markAgain};
    bool awaiting = false;
    SentBatch batch(*this);
    const std::vector<ContactPtr> mine = contacts_.ContactsOf(this);
    {
        // After a sign-on no contact has looked yet: they all look in one query.
        std::vector<CHistory*> histories;
        histories.reserve(mine.size());
        for (const ContactPtr& contact : mine) histories.push_back(&contact->History());
        CHistory::dbLoadPending(*this, histories);
    }
    for (const ContactPtr& contact : mine) {
        if (StopRequested()) return;
        for (const EventPtr& event : contact->History().PendingOutgoing()) {
            if (!event->IsOutgoing() || !event->IsMessage() || event->ErrorCode() != 0) continue;
            // A message without text can never be sent; it must not hold up the others.
            if (event->Sent() == 0 && event->Message().empty()) continue;
            awaiting = true;
            if (event->Sent() != 0) continue;
            if (!SendMessageEvent(event.get())) return;
            event->SetEventTime(contacts_.Now());
            event->SetSent(1);
            batch.Add(event);
            event->Redraw();
        }
        batch.SaveWhenDue();
    }
    markAgain = awaiting;
}

CAccount& AccountOf(const CContact& contact) {
    return static_cast<CAccount&>(contact.Account());
}

}  // namespace zul
