#include "fuzz/fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/transport/connection.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"

namespace zul::fuzz {
namespace {

// Inputs before the fixture is made anew, and contacts the account may gather before that.
constexpr size_t kInputsPerFixture = 20000;
constexpr size_t kMaxContacts = 40;

std::unique_ptr<Fixture> g_fixture;

std::string MakeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zul-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fail("mkdtemp", __FILE__, __LINE__);
    return pattern + "/";
}

// Rate waits computed from hostile numbers must not stall the fuzzer; the waits themselves
// are not what is tested here.
void NoSleep(uint32_t) {}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void MakePair(int sv[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        Fail("socketpair", __FILE__, __LINE__);
    }
}

}  // namespace

void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "zul fuzz invariant broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// Drain

Drain::Drain() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) Fail("pipe2", __FILE__, __LINE__);
    thread_ = std::thread([this] { Run(); });
}

Drain::~Drain() {
    stop_ = true;
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    for (int fd : farEnds_) close(fd);
    close(wake_[0]);
    close(wake_[1]);
}

SocketHandle Drain::NewEnd() {
    int sv[2];
    MakePair(sv);
    SetNonBlocking(sv[1]);
    {
        std::lock_guard lock(mutex_);
        farEnds_.push_back(sv[1]);
    }
    (void)!write(wake_[1], "x", 1);
    return sv[0];
}

void Drain::Run() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        {
            std::lock_guard lock(mutex_);
            for (int fd : farEnds_) fds.push_back({fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        if (fds[0].revents) {
            while (read(wake_[0], buffer.data(), buffer.size()) > 0) {
            }
        }
        std::vector<int> closed;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            for (;;) {
                ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
                if (n > 0) continue;
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                closed.push_back(fds[i].fd);  // the near end is gone
                break;
            }
        }
        if (!closed.empty()) {
            std::lock_guard lock(mutex_);
            for (int fd : closed) {
                farEnds_.erase(std::remove(farEnds_.begin(), farEnds_.end(), fd), farEnds_.end());
                close(fd);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Feeder

Feeder::Feeder(Bytes bytes) : bytes_(std::move(bytes)) {
    int sv[2];
    MakePair(sv);
    near_ = sv[0];
    far_ = sv[1];
    SetNonBlocking(far_);
    thread_ = std::thread([this] { Run(); });
}

Feeder::~Feeder() {
    stop_ = true;
    thread_.join();
    close(far_);
    if (near_ >= 0) close(near_);
}

SocketHandle Feeder::TakeNearEnd() {
    int fd = near_;
    near_ = -1;
    return fd;
}

void Feeder::Run() {
    std::vector<uint8_t> buffer(65536);
    size_t written = 0;
    bool shut = false;
    while (!stop_) {
        if (!shut && written == bytes_.size()) {
            shutdown(far_, SHUT_WR);
            shut = true;
        }
        pollfd fd{far_, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        if (poll(&fd, 1, 50) <= 0) continue;
        if (fd.revents & POLLOUT) {
            ssize_t n = send(far_, bytes_.data() + written, bytes_.size() - written, MSG_NOSIGNAL);
            if (n > 0) {
                written += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                written = bytes_.size();  // the near end is gone; nothing more to say
            }
        }
        if (fd.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(far_, buffer.data(), buffer.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                if (shut || written == bytes_.size()) return;
                written = bytes_.size();
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Input helpers

std::vector<Record> SplitRecords(const uint8_t* data, size_t size, size_t maxRecords) {
    std::vector<Record> records;
    size_t pos = 0;
    while (pos < size && records.size() < maxRecords) {
        Record r;
        r.tag = data[pos++];
        size_t length = 0;
        if (pos + 2 <= size) {
            length = static_cast<size_t>(data[pos] << 8 | data[pos + 1]);
            pos += 2;
        } else {
            pos = size;
        }
        length = std::min(length, size - pos);
        r.bytes.assign(data + pos, data + pos + length);
        pos += length;
        records.push_back(std::move(r));
    }
    return records;
}

Bytes Frame(uint8_t channel, uint16_t sequence, const Bytes& payload) {
    const size_t n = std::min<size_t>(payload.size(), 0xFFFF);
    Bytes out = {0x2A,
                 channel,
                 static_cast<uint8_t>(sequence >> 8),
                 static_cast<uint8_t>(sequence),
                 static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n)};
    out.insert(out.end(), payload.begin(), payload.begin() + static_cast<ptrdiff_t>(n));
    return out;
}

void FillFrame(COscarPacket& frame, uint8_t channel, const uint8_t* data, size_t size) {
    const size_t room = COscarPacket::kCapacity - COscarPacket::kHeaderSize;
    size = std::min(size, room);
    frame.data[0] = 0x2A;
    frame.data[1] = channel;
    frame.data[2] = 0;
    frame.data[3] = 1;
    frame.data[4] = static_cast<uint8_t>(size >> 8);
    frame.data[5] = static_cast<uint8_t>(size);
    if (size) std::memcpy(frame.data + COscarPacket::kHeaderSize, data, size);
    frame.size = static_cast<int32_t>(COscarPacket::kHeaderSize + size);
}

// ---------------------------------------------------------------------------------------------
// Fixture

Fixture& Fixture::Get() {
    if (g_fixture && g_fixture->Worn()) g_fixture.reset();
    if (!g_fixture) {
        g_fixture = std::make_unique<Fixture>();
        // Ended before the statics it uses (the database) that were made after it started.
        static const bool registered = std::atexit([] { g_fixture.reset(); }) == 0;
        (void)registered;
    }
    return *g_fixture;
}

void Fixture::Discard() {
    g_fixture.reset();
}

Fixture::Fixture() {
    programFolder_ = MakeTempFolder();
    dataFolder_ = MakeTempFolder();
    OverrideProgramFolder(programFolder_);
    OverrideDataFolder(dataFolder_);
    ResetLogRun();
    SetSleepFunction(&NoSleep);

    CConnection::Reset();
    CConnection::EstablishConnection();
    if (!Database().Open()) Fail("the profile does not open", __FILE__, __LINE__);
    {
        // Durability is not what the fuzzer looks at; speed is.
        std::lock_guard lock(Database().Mutex());
        for (auto sql : {u"PRAGMA synchronous = OFF", u"PRAGMA journal_mode = MEMORY"}) {
            CppSQLite3Command pragma = Database().Prepare(sql);
            try {
                Database().Execute(pragma);
            } catch (const CppSQLite3Exception&) {
                // journal_mode answers with a row; that is no failure
            }
        }
    }
    Options().ResetToDefaults();
    Options().RestoreLastStatusesOnStart = 0;
    Options().ReconnectOnError = 0;

    drain_ = std::make_unique<Drain>();
    contacts_ = std::make_unique<CContacts>();

    CAccountData data;
    data.SetID(77);
    data.SetType(acctype::kIcq);
    data.SetLogin(kOwnLogin);
    data.SetPassword(u"secret");
    data.SetServer(u"127.0.0.1");
    data.SetPort(u"5190");
    data.SetDescription(u"Fuzz account");
    data.SetEnabled(1);
    session_ = std::make_unique<COscar>(data, *contacts_, dataFolder_);
    session_->dbSave();
    session_->LoadContacts();
    AddBaseContacts();
}

Fixture::~Fixture() {
    session_->SetSessionRunning(false);
    session_->CloseConnections();
    session_.reset();
    contacts_.reset();
    drain_.reset();
    Database().Close();
    CConnection::Reset();
    SetSleepFunction(nullptr);
    OverrideProgramFolder("");
    OverrideDataFolder("");
    ResetLogRun();
    std::error_code ec;
    std::filesystem::remove_all(programFolder_, ec);
    std::filesystem::remove_all(dataFolder_, ec);
}

void Fixture::BeginInput(bool avatarActive) {
    COscar& s = *session_;
    s.ResetSession();
    if (s.Socket(Link::Service) == kInvalidSocket) s.AdoptSocket(Link::Service, drain_->NewEnd());
    if (s.Socket(Link::Avatar) == kInvalidSocket) s.AdoptSocket(Link::Avatar, drain_->NewEnd());
    if (s.Status() != 0) s.SetStatus(0);
    s.SetSessionRunning(true);
    s.SetAvatarActive(avatarActive);
}

void Fixture::EndInput() {
    ++inputs_;
    // Contacts made by the inputs (messages from strangers, list items) are deleted again, and
    // the ones every input may rely on come back when an input deleted them.
    std::vector<ContactPtr> contacts = contacts_->ContactsOf(session_.get());
    if (contacts.size() <= kMaxContacts) return;
    for (const ContactPtr& contact : contacts) {
        const std::u16string login = contact->Login();
        const bool base = std::any_of(std::begin(kContactLogins), std::end(kContactLogins),
                                      [&](const char16_t* l) { return login == l; });
        if (!base) contacts_->DeleteContact(contact.get());
    }
    AddBaseContacts();
}

void Fixture::AddBaseContacts() {
    for (const char16_t* login : kContactLogins) {
        if (contacts_->FindContact(session_.get(), login)) continue;
        const std::u16string nick = login == std::u16string_view(u"67890") ? u"Ada" : login;
        contacts_->AddNewContact(session_.get(),
                                 ContactFields{.login = login, .nickname = nick, .onServer = true},
                                 true, false);
    }
}

void Fixture::FlushDeferred() {
    const int32_t status = session_->Status();
    session_->SetStatus(-1);  // the receive loop then only dispatches what was kept
    while (session_->DeferredCount() > 0) {
        try {
            session_->HandleIncoming_MainThread();
        } catch (const CError&) {
        }
    }
    session_->SetStatus(status);
}

bool Fixture::Worn() const {
    return inputs_ >= kInputsPerFixture;
}

}  // namespace zul::fuzz
