#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "storage/account_data.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {
namespace {

CStoreAccount& RequireAccount(CStoreAccount* account) {
    if (!account) throw CError(u"Fatal error: No account fetched", errcode::kNoMemory);
    return *account;
}

}  // namespace

bool IsUsableLogin(std::u16string_view login) {
    // Logins come from the network: an empty one, one beyond what any server gives out, or
    // one holding control characters (a NUL first among them) never becomes a contact.
    constexpr size_t kMaxLogin = 97;
    if (login.empty() || login.size() > kMaxLogin) return false;
    return std::none_of(login.begin(), login.end(),
                        [](char16_t c) { return c < 0x20 || c == 0x7F; });
}

bool IsComingOnlineStatus(int32_t status) {
    return status == kStatusAvailable || status == kStatusFreeForChat || status == kStatusAtHome;
}

CContact::CContact(CStoreAccount* account, const ContactFields& fields)
    : account_(RequireAccount(account)),
      localID_(fields.localID),
      srvID_(fields.srvID),
      groupID_(fields.onServer ? fields.groupID : 0),
      login_(fields.login),
      nickname_(fields.nickname),
      groupName_(fields.groupName),
      note_(fields.note),
      email_(fields.email),
      phone_(fields.phone),
      awaitingAuth_(fields.awaitingAuth ? 1 : 0),
      onServer_(fields.onServer) {
    RecomputeIcon();
    try {
        history_ = std::make_unique<CHistory>(&account_, this, fields.counts);
    } catch (const std::bad_alloc&) {
        throw CError(u"Fatal error: Can not create History", errcode::kNoMemory);
    }
}

CContact::~CContact() = default;

int32_t CContact::AccountID() const {
    return account_.ID();
}

std::u16string CContact::Login() const {
    std::lock_guard lock(textMutex_);
    return login_;
}
std::u16string CContact::Nickname() const {
    std::lock_guard lock(textMutex_);
    return nickname_;
}
std::u16string CContact::DisplayName() const {
    std::lock_guard lock(textMutex_);
    // A nickname that only repeats the login (a stranger's, an empty alias filled in) gives
    // way to the server's formatting of it.
    if (!nickname_.empty() && (formattedName_.empty() || !SameLogin(nickname_, login_)))
        return nickname_;
    return formattedName_.empty() ? login_ : formattedName_;
}
std::u16string CContact::FormattedName() const {
    std::lock_guard lock(textMutex_);
    return formattedName_;
}
std::u16string CContact::GroupName() const {
    std::lock_guard lock(textMutex_);
    return groupName_;
}
std::u16string CContact::Note() const {
    std::lock_guard lock(textMutex_);
    return note_;
}
std::u16string CContact::Email() const {
    std::lock_guard lock(textMutex_);
    return email_;
}
std::u16string CContact::Phone() const {
    std::lock_guard lock(textMutex_);
    return phone_;
}
std::u16string CContact::StatusText() const {
    std::lock_guard lock(textMutex_);
    return statusText_;
}

void CContact::SetLogin(const std::u16string& text) {
    // The store's lock around the change keeps its index of logins in step with it.
    CContacts* store = store_.load();
    std::unique_lock<std::recursive_mutex> storeLock;
    if (store) storeLock = std::unique_lock(store->Mutex());
    std::u16string old;
    {
        std::lock_guard lock(textMutex_);
        if (login_ == text) return;
        old = std::move(login_);
        login_ = text;
        if (!SameLogin(formattedName_, login_)) formattedName_.clear();
    }
    if (store) store->RekeyContact(this, old);
    RecomputeIcon();
}
std::optional<int> CContact::TypingNoticeDue(uint32_t now) {
    constexpr uint32_t kMinGapMs = 2000;
    const int wanted = ownTypingWanted_.load();
    if (wanted == ownTypingSent_) return std::nullopt;
    if (ownTypingEverSent_ && now - ownTypingSentTick_ < kMinGapMs) return std::nullopt;
    ownTypingSent_ = wanted;
    ownTypingSentTick_ = now;
    ownTypingEverSent_ = true;
    return wanted;
}

void CContact::MarkNeedsDetails() {
    needsDetails_.store(true);
    account_.NoteContactWork(false);
}

void CContact::MarkPendingAction() {
    pendingAction_.store(true);
    account_.NoteContactWork(true);
}

void CContact::SetOwnTyping(int state) {
    if (ownTypingWanted_.exchange(state) != state) account_.NoteContactWork(true);
}

void CContact::RequestAuthAnswer(bool grant) {
    authAnswer_.store(grant ? 1 : 0);
    account_.NoteContactWork(true);
}

void CContact::RequestAuthorisationAgain(const std::u16string& reason) {
    {
        std::lock_guard lock(renameMutex_);
        authRequest_ = reason;
    }
    account_.NoteContactWork(true);
}

std::optional<std::u16string> CContact::TakeAuthorisationRequest() {
    std::lock_guard lock(renameMutex_);
    return std::exchange(authRequest_, std::nullopt);
}

void CContact::RequestMove(const std::u16string& group) {
    {
        std::lock_guard lock(renameMutex_);
        moveRequest_ = group;
    }
    account_.NoteContactWork(true);
}

std::optional<std::u16string> CContact::TakeMoveRequest() {
    std::lock_guard lock(renameMutex_);
    return std::exchange(moveRequest_, std::nullopt);
}

void CContact::RequestRename(const std::u16string& nickname) {
    {
        std::lock_guard lock(renameMutex_);
        renameRequest_ = nickname;
    }
    account_.NoteContactWork(true);
}

std::optional<std::u16string> CContact::TakeRenameRequest() {
    std::lock_guard lock(renameMutex_);
    return std::exchange(renameRequest_, std::nullopt);
}

void CContact::SetNickname(const std::u16string& text) {
    std::lock_guard lock(textMutex_);
    nickname_ = text;
}
bool CContact::SetFormattedName(const std::u16string& name) {
    // A name from the network: one that is not this login would show someone else.
    if (!IsUsableLogin(name)) return false;
    {
        std::lock_guard lock(textMutex_);
        if (!SameLogin(name, login_)) return false;
        const std::u16string value = name == login_ ? std::u16string() : name;
        if (formattedName_ == value) return false;
        formattedName_ = value;
    }
    Redraw();
    return true;
}

bool CContact::SaveFormattedName() {
    return DbWork(u"CContact::SaveFormattedName(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        if (Removed()) return false;
        const std::u16string name = FormattedName();
        if (name.empty()) {
            CppSQLite3Command cmd = db.Prepare(u"DELETE FROM ContactNames WHERE LocalID=?");
            cmd.BindInt(1, localID_);
            db.Execute(cmd);
            return true;
        }
        // Only beside the contact's row: the row's deletion takes the name with it.
        CppSQLite3Command cmd = db.Prepare(
            u"REPLACE INTO ContactNames (LocalID,Name) SELECT LocalID,? FROM Contacts WHERE "
            u"LocalID=?");
        cmd.BindText(1, name);
        cmd.BindInt(2, localID_);
        db.Execute(cmd);
        return true;
    });
}

void CContact::SetGroupName(const std::u16string& text) {
    std::lock_guard lock(textMutex_);
    groupName_ = text;
}
void CContact::SetNote(const std::u16string& text) {
    std::lock_guard lock(textMutex_);
    note_ = text;
}
void CContact::SetEmail(const std::u16string& text) {
    std::lock_guard lock(textMutex_);
    email_ = text;
}
void CContact::SetPhone(const std::u16string& text) {
    std::lock_guard lock(textMutex_);
    phone_ = text;
}

bool CContact::SetListFlags(bool onServer, bool visible, bool invisible, bool ignored) {
    if (OnServer() == onServer && (Visible() != 0) == visible && (Invisible() != 0) == invisible &&
        (Ignored() != 0) == ignored) {
        return false;
    }
    onServer_.store(onServer);
    visible_.store(visible ? 1 : 0);
    invisible_.store(invisible ? 1 : 0);
    ignored_.store(ignored ? 1 : 0);
    Redraw();
    return true;
}

uint8_t CContact::ProtocolKind() const {
    const uint8_t type = account_.EffectiveType();
    if (type != acctype::kIcq && type != acctype::kAim) return type;
    std::lock_guard lock(textMutex_);
    return static_cast<uint8_t>(EffectiveAccountType(acctype::kOscarUnresolved, login_));
}

bool CContact::dbSave() {
    return DbWork(u"CContact::dbSave(): ", [&] {
        CDatabase& db = account_.Contacts().Db();
        std::lock_guard dbLock(db.Mutex());
        // A deleted contact must not come back through a late save.
        if (Removed()) return false;
        CppSQLite3Command cmd = db.Prepare(
            u"REPLACE INTO Contacts (AccID,LocalID,SrvID,GroupID,Login,Nickname,Note,Email,Phone,"
            u" AwaitingAuth,Visible,Invisible,Ignored,HasOpenedSession,OnServer, Avatar) VALUES "
            u"(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        std::u16string login, nickname, note, email, phone;
        std::vector<uint8_t> picture;
        {
            std::lock_guard lock(textMutex_);
            login = login_;
            nickname = nickname_;
            note = note_;
            email = email_;
            phone = phone_;
            picture = picture_;
        }
        cmd.BindInt(1, AccountID());
        cmd.BindInt(2, localID_);
        // The column forbids 0: a contact without a server item id stores NULL.
        if (SrvID() != 0) {
            cmd.BindInt(3, SrvID());
        } else {
            cmd.BindNull(3);
        }
        cmd.BindInt(4, GroupID());
        cmd.BindText(5, login);
        cmd.BindText(6, nickname);
        cmd.BindText(7, note);
        cmd.BindText(8, email);
        cmd.BindText(9, phone);
        cmd.BindInt(10, AwaitingAuth());
        cmd.BindInt(11, Visible());
        cmd.BindInt(12, Invisible());
        cmd.BindInt(13, Ignored());
        cmd.BindInt(14, 0);
        cmd.BindInt(15, OnServer() ? 1 : 0);
        if (picture.empty()) {
            cmd.BindNull(16);
        } else {
            cmd.BindBlob(16, picture.data(), static_cast<int>(picture.size()));
        }
        db.Execute(cmd);
        return true;
    });
}

bool CContact::SetPicture(const uint8_t* bytes, size_t length, bool save) {
    if (!bytes) length = 0;
    bool outOfMemory = false;
    {
        std::lock_guard lock(textMutex_);
        if (picture_.size() == length &&
            (length == 0 || std::memcmp(picture_.data(), bytes, length) == 0)) {
            return false;
        }
        pictureDigest_.reset();
        try {
            picture_.assign(bytes, bytes + length);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(picture_);
            outOfMemory = true;
        }
    }
    pictureVersion_.fetch_add(1);
    Redraw();
    if (outOfMemory) throw CError(u"Can not allocate memory", errcode::kNoMemory);
    if (save) dbSave();
    return true;
}

std::vector<uint8_t> CContact::Picture() const {
    std::lock_guard lock(textMutex_);
    return picture_;
}

std::optional<CContact::PictureDigest> CContact::PictureDigestBy(
    PictureDigest (*make)(std::span<const uint8_t>)) const {
    std::lock_guard lock(textMutex_);
    if (picture_.empty()) return std::nullopt;
    if (!pictureDigest_) pictureDigest_ = make(picture_);
    return pictureDigest_;
}

bool CContact::HasPicture() const {
    std::lock_guard lock(textMutex_);
    return !picture_.empty();
}

bool CContact::UpdateFromServer(const ContactFields& fields) {
    [[maybe_unused]] const auto& [localID, srvID, groupID, groupName, login, nickname, note, email,
                                  phone, awaitingAuth, onServer, counts] = fields;
    bool changed = false;
    bool sameLogin = false;
    {
        std::lock_guard lock(textMutex_);
        sameLogin = login_ == login;
    }
    if (!sameLogin) {
        SetLogin(login);
        changed = true;
    }
    {
        std::lock_guard lock(textMutex_);
        auto take = [&changed](std::u16string& field, const std::u16string& value) {
            if (field != value) {
                field = value;
                changed = true;
            }
        };
        take(groupName_, groupName);
        take(note_, note);
        take(email_, email);
        take(phone_, phone);
        // An empty nickname from the server never erases a stored one.
        if (!nickname.empty()) take(nickname_, nickname);
    }
    if (SrvID() != srvID) {
        srvID_.store(srvID);
        changed = true;
    }
    if (GroupID() != groupID && OnServer()) {
        groupID_.store(groupID);
        changed = true;
    }
    if (AwaitingAuth() != (awaitingAuth ? 1 : 0)) {
        awaitingAuth_.store(awaitingAuth ? 1 : 0);
        changed = true;
        Redraw();
    }
    if (OnServer() != onServer) {
        onServer_.store(onServer);
        // A contact that is not on the server has no group; one that came back takes its group.
        groupID_.store(onServer ? groupID : 0);
        changed = true;
    }
    if (changed) dbSave();
    // Presence notices follow the list: until then the contact counts as offline (going
    // offline clears the text and the mood, so an offline contact has nothing to change).
    if (Status() != kStatusOffline)
        SetStatus(kStatusOffline, std::u16string(), kMoodNone, false, true);
    return changed;
}

bool CContact::SetStatus(int32_t status, const std::u16string& textIn, int32_t moodIn, bool quiet,
                         bool record) {
    std::u16string text = textIn;
    int32_t mood = moodIn;
    if (status == kStatusOffline) {
        text.clear();
        mood = kMoodNone;
    }
    const bool moodChanged = mood_.exchange(mood) != mood;
    bool textChanged = false;
    {
        std::lock_guard lock(textMutex_);
        if (statusText_ != text) {
            statusText_ = text;
            textChanged = true;
        }
    }
    const auto newStatus = static_cast<int16_t>(status);
    const bool statusChanged = status_.exchange(newStatus) != newStatus;
    if (statusChanged) {
        if (IsComingOnlineStatus(status)) {
            if (!quiet) {
                justOnlineTicks_.store(0);
                justOnline_.store(true);
            }
        } else {
            ClearMarks();
            Redraw();
        }
    }
    if (!statusChanged && !moodChanged && !textChanged) return false;
    RecomputeIcon();
    if (record) AddStatusChange(text, status, mood);
    Redraw();
    return true;
}

std::u16string CContact::StatusLine() const {
    std::u16string text = StatusText();
    if (!text.empty()) return text;
    const int32_t mood = Mood();
    if (mood >= 0 && mood < kMoodCount) return MoodName(mood);
    return StatusName(ProtocolKind(), Status());
}

void CContact::SetTyping(bool typing) {
    typingTicks_.store(0);
    typing_.store(typing);
    Redraw();
}

bool CContact::Tick() {
    bool active = false;
    auto age = [this, &active](std::atomic<bool>& mark, std::atomic<int>& ticks) {
        if (!mark.load()) return;
        active = true;
        if (ticks.fetch_add(1) + 1 > kMarkTicks) {
            mark.store(false);
            ticks.store(0);
            Redraw();
        }
    };
    age(justOnline_, justOnlineTicks_);
    age(typing_, typingTicks_);
    return active;
}

void CContact::ClearMarks() {
    justOnline_.store(false);
    justOnlineTicks_.store(0);
    typing_.store(false);
    typingTicks_.store(0);
}

void CContact::RecomputeIcon() {
    statusIcon_.store(zul::StatusIcon(ProtocolKind(), Status(), Mood()));
}

void CContact::AddMessage(uint8_t direction, const std::u16string& text, uint64_t time,
                          int32_t status, int32_t mood) {
    history_->AddEvent(evtype::kMessage, direction, text, time, status, mood);
}

void CContact::AddStatusChange(const std::u16string& text, int32_t status, int32_t mood) {
    // A contact whose status flaps (a bad connection, a server replaying presence) would
    // write a row per change: a change that follows the previous one within a few seconds,
    // with nothing written in between, takes that row's place. The reader of the chat keeps
    // the status the contact settled on.
    constexpr uint32_t kMergeMs = 5000;
    const uint32_t now = GetTick();
    EventPtr previous;
    {
        std::lock_guard lock(statusEventMutex_);
        previous = lastStatusEvent_;
        if (now - lastStatusTick_ >= kMergeMs) previous.reset();
    }
    if (previous) history_->DeleteIfNewest(previous.get());
    EventPtr added =
        history_->AddEvent(evtype::kStatusChange, evdir::kIncoming, text, 0, status, mood);
    std::lock_guard lock(statusEventMutex_);
    lastStatusEvent_ = added;
    lastStatusTick_ = now;
}

void CContact::Redraw() {
    account_.Contacts().RedrawContact(this);
}

}  // namespace zul
