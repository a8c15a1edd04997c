#include "storage/contacts.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"
#include "platform/tick.h"
#include "storage/account_data.h"
#include "storage/database.h"
#include "storage/db_log.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {

CContacts::CContacts(IContactsView* view, CDatabase* db, std::function<uint64_t()> clock)
    : view_(view), db_(db), clock_(std::move(clock)) {}

CDatabase& CContacts::Db() const {
    return db_ != nullptr ? *db_ : Database();
}

uint64_t CContacts::Now() const {
    return clock_ ? clock_() : HistoryNow();
}

CContacts::~CContacts() {
    // Contacts kept alive elsewhere no longer report their login changes here.
    std::lock_guard lock(mutex_);
    for (const ContactPtr& c : contacts_) c->store_.store(nullptr);
}

void CContacts::Rebuild() {
    if (IContactsView* view = View()) view->Rebuild();
}

void CContacts::RedrawContact(CContact* contact) {
    if (IContactsView* view = View()) view->RedrawContact(contact);
}

std::vector<ContactPtr> CContacts::ContactsOf(const CStoreAccount* account) const {
    std::lock_guard lock(mutex_);
    std::vector<ContactPtr> result;
    for (const ContactPtr& c : contacts_) {
        if (!account || &c->Account() == account) result.push_back(c);
    }
    return result;
}

namespace {

CContacts::GroupEntry EntryOf(const CGroup& group) {
    return {group.AccountID(), group.GroupID(), group.Name(), group.Expanded()};
}

}  // namespace

std::vector<CContacts::GroupEntry> CContacts::Groups() const {
    std::lock_guard lock(mutex_);
    std::vector<GroupEntry> entries;
    entries.reserve(groups_.size());
    for (const auto& group : groups_) entries.push_back(EntryOf(*group));
    return entries;
}

CContacts::ListSnapshot CContacts::Snapshot() const {
    std::lock_guard lock(mutex_);
    ListSnapshot snapshot{contacts_, {}};
    snapshot.virtualGroups.reserve(virtualGroups_.size());
    for (const auto& group : virtualGroups_) snapshot.virtualGroups.push_back(EntryOf(*group));
    return snapshot;
}

ContactPtr CContacts::AddContact(CStoreAccount* account, const ContactFields& fields, bool save,
                                 bool redraw) {
    // The database lock first: the new contact reads its history counters, and additions
    // drawing new identifiers are serialised by it.
    std::lock_guard dbLock(Db().Mutex());
    auto contact = std::make_shared<CContact>(account, fields);
    {
        std::lock_guard lock(mutex_);
        contact->store_.store(this);
        contacts_.push_back(contact);
        IndexContact(contact);
    }
    if (save && !contact->dbSave()) {
        // A contact the profile does not know must not collect history rows.
        std::lock_guard lock(mutex_);
        auto it = std::find(contacts_.begin(), contacts_.end(), contact);
        if (it != contacts_.end()) {
            if (IContactsView* view = View()) view->ItemRemoved(contact.get());
            UnindexContact(contact.get());
            contacts_.erase(it);
        }
        contact->MarkRemoved();
        return nullptr;
    }
    if (redraw) Rebuild();
    return contact;
}

ContactPtr CContacts::AddNewContact(CStoreAccount* account, ContactFields fields, bool save,
                                    bool redraw, const std::unordered_set<int32_t>* storedIDs) {
    std::lock_guard dbLock(Db().Mutex());
    fields.localID = NewLocalID(storedIDs);
    if (storedIDs != nullptr && fields.counts.unread < 0) {
        fields.counts = {.unread = 0, .messages = 0, .events = 0, .newest = 0, .stored = false};
    }
    return AddContact(account, fields, save, redraw);
}

ContactPtr CContacts::AddNewLocalContact(CStoreAccount* account, ContactFields fields, bool save,
                                         bool redraw) {
    std::lock_guard dbLock(Db().Mutex());
    fields.srvID = NewSrvID();
    if (fields.srvID == 0) return nullptr;  // every item id is taken
    fields.groupID = 0;
    fields.onServer = false;
    return AddNewContact(account, std::move(fields), save, redraw);
}

int32_t CContacts::NewLocalID(const std::unordered_set<int32_t>* avoid) const {
    std::lock_guard lock(mutex_);
    // 2^31 ids for at most a few hundred thousand contacts: a free one is found at once, by
    // the next ones after a random start (whatever the generator gives).
    for (uint32_t candidate = Random32();; ++candidate) {
        const auto id = static_cast<int32_t>(candidate & 0x7FFFFFFFu);
        if (id >= 1 && localIDs_.count(id) == 0 && (avoid == nullptr || avoid->count(id) == 0))
            return id;
    }
}

uint16_t CContacts::NewSrvID() const {
    std::lock_guard lock(mutex_);
    // One pass marks the ids in use; the first free one from a random start is taken. A full
    // 16-bit space gives 0, which no item may have: the caller refuses the contact.
    std::vector<bool> used(0x10000, false);
    used[0] = true;
    for (const ContactPtr& c : contacts_) used[c->SrvID()] = true;
    const uint32_t start = Random16();
    for (uint32_t step = 0; step < 0x10000; ++step) {
        const uint16_t id = static_cast<uint16_t>(start + step);
        if (!used[id]) return id;
    }
    return 0;
}

void CContacts::SortGroups() {
    auto byName = [](const std::unique_ptr<CGroup>& a, const std::unique_ptr<CGroup>& b) {
        return CompareNoCase(a->Name(), b->Name()) < 0;
    };
    std::stable_sort(groups_.begin(), groups_.end(), byName);
    std::stable_sort(virtualGroups_.begin(), virtualGroups_.end(), byName);
}

void CContacts::EnsureVirtualGroup(const CGroup& group) {
    const std::u16string name = group.Name();
    if (FindVirtualGroup(name)) return;
    auto merged = std::make_unique<CGroup>(name, db_);
    merged->SetExpanded(group.Expanded());
    virtualGroups_.push_back(std::move(merged));
    SortGroups();
}

void CContacts::DropVirtualGroupIfUnused(const std::u16string& name) {
    const bool used = std::any_of(groups_.begin(), groups_.end(),
                                  [&name](const auto& g) { return EqualNoCase(g->Name(), name); });
    if (used) return;
    auto it = std::find_if(virtualGroups_.begin(), virtualGroups_.end(),
                           [&name](const auto& g) { return EqualNoCase(g->Name(), name); });
    if (it == virtualGroups_.end()) return;
    if (IContactsView* view = View()) view->ItemRemoved(it->get());
    virtualGroups_.erase(it);
}

CGroup* CContacts::AddGroup(std::unique_ptr<CGroup> group, bool redraw) {
    if (!group) return nullptr;
    CGroup* added = group.get();
    {
        std::lock_guard lock(mutex_);
        groups_.push_back(std::move(group));
        SortGroups();
        EnsureVirtualGroup(*added);
    }
    if (redraw) Rebuild();
    return added;
}

CGroup* CContacts::FindGroup(int32_t accountID, uint16_t groupID) const {
    std::lock_guard lock(mutex_);
    for (const auto& g : groups_) {
        if (g->GroupID() == groupID && g->AccountID() == accountID) return g.get();
    }
    return nullptr;
}

CGroup* CContacts::FindVirtualGroup(std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    for (const auto& g : virtualGroups_) {
        if (EqualNoCase(g->Name(), name)) return g.get();
    }
    return nullptr;
}

size_t CContacts::LoginKeyHash::operator()(const LoginKey& key) const {
    const size_t text = std::hash<std::u16string>()(key.folded);
    return text ^ (std::hash<const void*>()(key.account) * 0x9E3779B97F4A7C15ull);
}

CContacts::LoginKey CContacts::KeyOf(const CStoreAccount* account, std::u16string_view login) {
    return LoginKey{account, zul::LoginKey(login)};
}

void CContacts::IndexContact(const ContactPtr& contact) {
    // Contacts join the store at its end, so they join their entry at its end too.
    byLogin_[KeyOf(&contact->Account(), contact->Login())].push_back(contact);
    localIDs_.insert(contact->LocalID());
}

CContacts::CompactionHold::CompactionHold(CContacts& contacts) : contacts_(contacts) {
    std::lock_guard lock(contacts_.mutex_);
    ++contacts_.compactionHolds_;
}

CContacts::CompactionHold::~CompactionHold() {
    bool owed = false;
    {
        std::lock_guard lock(contacts_.mutex_);
        owed = --contacts_.compactionHolds_ == 0 && std::exchange(contacts_.compactionOwed_, false);
    }
    if (owed) contacts_.CompactIndex();
}

void CContacts::CompactIndex() {
    std::lock_guard lock(mutex_);
    if (compactionHolds_ > 0) {
        compactionOwed_ = true;
        return;
    }
    decltype(byLogin_) compact;
    compact.reserve(byLogin_.size());
    for (const auto& [key, entry] : byLogin_) compact.emplace(key, entry);
    byLogin_.swap(compact);
}

void CContacts::UnindexContact(const CContact* contact) {
    localIDs_.erase(contact->LocalID());
    auto it = byLogin_.find(KeyOf(&contact->Account(), contact->Login()));
    if (it == byLogin_.end()) return;
    std::vector<ContactPtr>& entry = it->second;
    entry.erase(std::remove_if(entry.begin(), entry.end(),
                               [contact](const ContactPtr& c) { return c.get() == contact; }),
                entry.end());
    if (entry.empty()) byLogin_.erase(it);
}

void CContacts::RekeyContact(CContact* contact, const std::u16string& oldLogin) {
    auto it = byLogin_.find(KeyOf(&contact->Account(), oldLogin));
    if (it == byLogin_.end()) return;
    std::vector<ContactPtr>& entry = it->second;
    auto found = std::find_if(entry.begin(), entry.end(),
                              [contact](const ContactPtr& c) { return c.get() == contact; });
    if (found == entry.end()) return;
    ContactPtr moved = *found;
    entry.erase(found);
    if (entry.empty()) byLogin_.erase(it);

    // Into the entry of the new login at its place in store order, so that FindContact still
    // answers with the first matching contact of the store.
    std::vector<ContactPtr>& target = byLogin_[KeyOf(&contact->Account(), contact->Login())];
    auto storePosition = [this](const CContact* c) {
        return std::find_if(contacts_.begin(), contacts_.end(),
                            [c](const ContactPtr& p) { return p.get() == c; }) -
               contacts_.begin();
    };
    const auto position = storePosition(contact);
    auto before = std::find_if(target.begin(), target.end(), [&](const ContactPtr& c) {
        return storePosition(c.get()) > position;
    });
    target.insert(before, std::move(moved));
}

ContactPtr CContacts::FindContact(const CStoreAccount* account, std::u16string_view login) const {
    const LoginKey key = KeyOf(account, login);
    std::lock_guard lock(mutex_);
    auto it = byLogin_.find(key);
    if (it == byLogin_.end() || it->second.empty()) return nullptr;
    return it->second.front();
}

bool CContacts::SetPictureByLogin(const CStoreAccount* account, std::u16string_view login,
                                  const uint8_t* bytes, size_t length) {
    ContactPtr contact = FindContact(account, login);
    if (!contact) return false;
    return contact->SetPicture(bytes, length, true);
}

int CContacts::CountContacts(const CStoreAccount* account, int* online) const {
    std::lock_guard lock(mutex_);
    int total = 0, notOffline = 0;
    for (const ContactPtr& c : contacts_) {
        if (&c->Account() != account) continue;
        ++total;
        if (c->Status() != kStatusOffline) ++notOffline;
    }
    if (online) *online = notOffline;
    return total;
}

bool CContacts::LoadFormattedNames(const CStoreAccount* account) {
    std::unordered_map<int32_t, std::u16string> names;
    const bool read = DbWork(u"CContacts::LoadFormattedNames(): ", [&] {
        std::lock_guard dbLock(Db().Mutex());
        CppSQLite3Command cmd = Db().Prepare(
            u"SELECT N.LocalID, N.Name FROM ContactNames N JOIN Contacts C ON "
            u"C.LocalID=N.LocalID WHERE C.AccID=?");
        cmd.BindInt(1, account->ID());
        for (CppSQLite3ResultSet rows = Db().ExecuteQuery(cmd); !rows.IsEnd(); rows.Next())
            names.emplace(rows.IntColumn(0, 0), rows.TextColumn(1, u""));
    });
    if (names.empty()) return read;
    bool changed = false;
    for (const ContactPtr& c : ContactsOf(account)) {
        const auto name = names.find(c->LocalID());
        // A row left behind by another contact of that id names another login: not taken.
        if (name != names.end()) changed |= c->SetFormattedName(name->second);
    }
    if (changed) Rebuild();
    return read;
}

void CContacts::SetAccountOffline(const CStoreAccount* account) {
    for (const ContactPtr& c : ContactsOf(account)) {
        c->SetStatus(kStatusOffline, std::u16string(), kMoodNone, true, false);
    }
    Rebuild();
}

bool CContacts::UpdatePresence(const CStoreAccount* account, std::u16string_view login,
                               int32_t status, bool textChanged, const std::u16string& text,
                               int32_t mood, bool quiet) {
    ContactPtr contact = FindContact(account, login);
    if (!contact) return false;
    return UpdatePresence(*contact, status, textChanged, text, mood, quiet);
}

bool CContacts::UpdatePresence(CContact& contact, int32_t status, bool textChanged,
                               const std::u16string& text, int32_t mood, bool quiet) {
    const bool changed = textChanged
                             ? contact.SetStatus(status, text, mood, quiet, true)
                             : contact.SetStatus(status, contact.StatusText(), mood, quiet, true);
    if (changed) Rebuild();
    return changed;
}

bool CContacts::SetTyping(const CStoreAccount* account, std::u16string_view login, bool typing) {
    ContactPtr contact = FindContact(account, login);
    if (!contact) return false;
    contact->SetTyping(typing);
    return true;
}

CGroup* CContacts::AddOrUpdateGroup(int32_t accountID, const std::u16string& name,
                                    uint16_t groupID) {
    std::lock_guard dbLock(Db().Mutex());
    CGroup* group = nullptr;
    {
        std::lock_guard lock(mutex_);
        group = FindGroup(accountID, groupID);
        if (group) {
            const std::u16string oldName = group->Name();
            group->Rename(groupID, name);
            if (oldName != name) {
                SortGroups();
                EnsureVirtualGroup(*group);
                DropVirtualGroupIfUnused(oldName);
                // The group's own contacts follow it; same-named groups of other accounts
                // keep theirs.
                for (const ContactPtr& c : contacts_) {
                    if (c->AccountID() == accountID && c->GroupID() == groupID &&
                        c->GroupName() != name) {
                        c->SetGroupName(name);
                        c->dbSave();
                    }
                }
            }
        } else {
            auto created = std::make_unique<CGroup>(accountID, groupID, name, db_);
            // A new group opens as its merged header is shown, or expanded when it is the first
            // of its name.
            const CGroup* merged = FindVirtualGroup(name);
            created->SetExpanded(merged ? merged->Expanded() : true);
            group = AddGroup(std::move(created), false);
            group->Save();
        }
    }
    Rebuild();
    return group;
}

void CContacts::RemoveGroup(CGroup* group) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(groups_.begin(), groups_.end(),
                               [group](const auto& g) { return g.get() == group; });
        if (it == groups_.end()) return;
        const std::u16string name = group->Name();
        if (IContactsView* view = View()) view->ItemRemoved(group);
        groups_.erase(it);
        DropVirtualGroupIfUnused(name);
    }
    Rebuild();
}

std::u16string CContacts::GroupName(int32_t accountID, uint16_t groupID) const {
    std::lock_guard lock(mutex_);
    const CGroup* group = FindGroup(accountID, groupID);
    return group != nullptr ? group->Name() : std::u16string();
}

bool CContacts::RemoveGroupOf(int32_t accountID, uint16_t groupID) {
    std::lock_guard dbLock(Db().Mutex());
    std::lock_guard lock(mutex_);
    CGroup* group = FindGroup(accountID, groupID);
    if (group == nullptr) return false;
    RemoveGroup(group);
    return true;
}

void CContacts::RemoveGroupsExcept(int32_t accountID, const std::vector<uint16_t>& keep) {
    std::lock_guard lock(mutex_);
    std::vector<CGroup*> gone;
    for (const auto& group : groups_) {
        if (group->AccountID() == accountID &&
            !std::binary_search(keep.begin(), keep.end(), group->GroupID()))
            gone.push_back(group.get());
    }
    for (CGroup* group : gone) RemoveGroup(group);
}

std::optional<bool> CContacts::ToggleVirtualGroup(std::u16string_view name) {
    bool expanded = false;
    std::u16string stored;
    {
        std::lock_guard lock(mutex_);
        CGroup* group = FindVirtualGroup(name);
        if (group == nullptr) return std::nullopt;
        expanded = !group->Expanded();
        group->SetExpanded(expanded);
        stored = group->Name();
        for (const auto& g : groups_) {
            if (EqualNoCase(g->Name(), stored)) g->SetExpanded(expanded);
        }
    }
    // The stored state of the groups named exactly so; one spelt otherwise keeps the state in
    // memory until it is saved for another reason.
    Db().Defer([expanded, stored](CDatabase& db) {
        DbWork(u"CContacts::ToggleVirtualGroup(): ", [&] {
            CppSQLite3Command cmd = db.Prepare(u"UPDATE Groups SET Expanded=? WHERE Name=?");
            cmd.BindInt(1, expanded ? 1 : 0);
            cmd.BindText(2, stored);
            db.Execute(cmd);
            return true;
        });
    });
    Rebuild();
    return expanded;
}

bool CContacts::DeleteContact(CContact* contact) {
    if (!contact) return false;
    std::lock_guard dbLock(Db().Mutex());
    ContactPtr doomed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(contacts_.begin(), contacts_.end(),
                               [contact](const ContactPtr& c) { return c.get() == contact; });
        if (it == contacts_.end()) return false;
        try {
            CDatabase& db = Db();
            CppSQLite3Command cmd = db.Prepare(u"DELETE FROM Contacts WHERE AccID=? AND LocalID=?");
            cmd.BindInt(1, contact->AccountID());
            cmd.BindInt(2, contact->LocalID());
            db.Execute(cmd);
        } catch (const CppSQLite3Exception& e) {
            LogDbError(u"CContacts::DeleteContact(): ", e);
            return false;
        }
        contact->MarkRemoved();
        if (IContactsView* view = View()) view->ItemRemoved(contact);
        UnindexContact(contact);
        doomed = std::move(*it);
        contacts_.erase(it);
    }
    Rebuild();
    return true;
}

void CContacts::RemoveAccount(int32_t accountID) {
    {
        // Outside the store's lock: the database lock comes first.
        std::vector<ContactPtr> leaving;
        {
            std::lock_guard lock(mutex_);
            for (const ContactPtr& c : contacts_)
                if (c->AccountID() == accountID) leaving.push_back(c);
        }
        CTransaction transaction(Db());
        for (const ContactPtr& c : leaving) c->History().dbSaveCounts();
        transaction.Commit();
    }
    std::vector<ContactPtr> removed;
    {
        std::lock_guard lock(mutex_);
        IContactsView* view = View();
        // One pass: the others keep their order, the account's go (no erase per contact).
        std::vector<ContactPtr> kept;
        kept.reserve(contacts_.size());
        for (ContactPtr& c : contacts_) {
            if (c->AccountID() == accountID) {
                if (view) view->ItemRemoved(c.get());
                UnindexContact(c.get());
                removed.push_back(std::move(c));
            } else {
                kept.push_back(std::move(c));
            }
        }
        contacts_.swap(kept);
        std::vector<std::u16string> names;
        for (auto it = groups_.begin(); it != groups_.end();) {
            if ((*it)->AccountID() == accountID) {
                if (view) view->ItemRemoved(it->get());
                names.push_back((*it)->Name());
                it = groups_.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::u16string& name : names) DropVirtualGroupIfUnused(name);
        // The contacts go while the lock is held, so no reader of the list sees them half gone.
        removed.clear();
    }
    Rebuild();
}

std::unordered_set<int32_t> CContacts::dbLocalIDs() const {
    std::unordered_set<int32_t> ids;
    CDatabase& db = Db();
    std::lock_guard dbLock(db.Mutex());
    CppSQLite3Command cmd = db.Prepare(u"SELECT LocalID FROM Contacts");
    for (CppSQLite3ResultSet rows = db.ExecuteQuery(cmd); !rows.IsEnd(); rows.Next())
        ids.insert(rows.IntColumn(0, 0));
    return ids;
}

bool CContacts::dbCleanGroups(CStoreAccount* account) {
    if (!account || !account->Loaded()) return true;
    CDatabase& db = Db();
    std::lock_guard dbLock(db.Mutex());
    return DbWork(u"CContacts::dbCleanGroups(): ", [&] {
        const int32_t accountID = account->ID();
        // Ids are kept whole: a row whose id is no 16-bit value cannot be a group in memory.
        std::vector<int32_t> stale;
        {
            CppSQLite3Command cmd = db.Prepare(u"SELECT ID FROM Groups WHERE AccID=?");
            cmd.BindInt(1, accountID);
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            while (!rows.IsEnd()) {
                // Row ids hold the server id in their low 16 bits (see CGroup::RowID).
                const int32_t id = rows.IntColumn(0, 0);
                if (id < 0 || !FindGroup(accountID, static_cast<uint16_t>(id & 0xFFFF))) {
                    stale.push_back(id);
                }
                rows.Next();
            }
        }
        for (int32_t id : stale) {
            CppSQLite3Command cmd = db.Prepare(u"DELETE FROM Groups WHERE AccID=? AND ID=?");
            cmd.BindInt(1, accountID);
            cmd.BindInt(2, id);
            db.Execute(cmd);
        }
        return true;
    });
}

bool CContacts::Tick() {
    bool active = false;
    for (const ContactPtr& c : ContactsOf(nullptr)) active = c->Tick() || active;
    return active;
}

}  // namespace zul
