// The parsers of received SNACs: server-list items, incoming messages, and the user blocks of
// presence notices handled by the real family handler against a contact store of a given size.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>

#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/service_wire.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/services/server_list_item.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/options.h"
#include "support/bench_profile.h"
#include "support/presence_notice.h"
#include "support/test_env.h"
#include "support/wire_builders.h"

namespace zul::bench {
namespace {

void BM_ParseServerListReply(benchmark::State& state) {
    WorldSpec shape;
    shape.contactsPerAccount = 5000;
    const std::vector<OutFrame> frames = ServerListFrames(shape, 0);
    const test::Bytes& first = frames.front().data;
    const ByteSpan data = ByteSpan(first).subspan(10);
    size_t items = 0;
    for (auto _ : state) {
        auto parsed = ParseServerListReply(data);
        items += parsed ? parsed->size() : 0;
        benchmark::DoNotOptimize(parsed);
    }
    state.SetItemsProcessed(static_cast<int64_t>(items));
}
BENCHMARK(BM_ParseServerListReply);

void BM_ParseIncomingMessage(benchmark::State& state) {
    const test::Bytes body = test::Channel1Message(
        "200001234", 0x0000, test::Utf8("how are you doing today? I have news about the trip"));
    for (auto _ : state) {
        auto message = ParseIncomingMessage(body);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_ParseIncomingMessage);

// A profile and one account whose store holds `contacts` contacts (in memory only).
class SessionWorld {
  public:
    explicit SessionWorld(int contacts) {
        if (!Database().Open()) throw std::runtime_error("no profile");
        Options().ResetToDefaults();
        CAccountData data;
        data.SetID(AccountId(0));
        data.SetType(acctype::kIcq);
        data.SetLogin(AccountLogin(0));
        data.SetEnabled(1);
        account_ = std::make_unique<COscar>(data, store_, std::string());
        WorldSpec shape;
        shape.contactsPerAccount = contacts;
        shape.pictureBytes = 2048;
        for (int i = 0; i < contacts; ++i) {
            ContactPtr c =
                store_.AddContact(account_.get(),
                                  ContactFields{.localID = ContactLocalId(0, i),
                                                .srvID = ContactSrvId(i),
                                                .login = Widen(ContactLogin(0, i)),
                                                .nickname = FromUtf8(ContactNickname(0, i)),
                                                .onServer = true},
                                  false, false);
            const std::vector<uint8_t> picture = ContactPicture(shape, 0, i);
            c->SetPicture(picture.data(), picture.size(), false);
        }
    }
    ~SessionWorld() {
        account_.reset();
        Database().Close();
    }
    COscar& Account() { return *account_; }

  private:
    test::IsolatedFolders folders_;
    CContacts store_;
    std::unique_ptr<COscar> account_;
};

// One presence notice through the family handler. The login is the store's last contact (a
// known one: its session data is read and its picture hash checked) or one the store does not
// hold. After the first notice nothing changes, so no rows are written.
void Presence(benchmark::State& state, bool known) {
    const int contacts = static_cast<int>(state.range(0));
    SessionWorld world(contacts);
    WorldSpec shape;
    shape.contactsPerAccount = contacts;
    shape.pictureBytes = 2048;
    const int index = known ? contacts - 1 : contacts + 5;
    std::vector<OutFrame> notices = PresenceNotices(shape, 0, index, 1);
    // PresenceNotices hashes the picture of the contact it names; an unknown one has none.
    COscarPacket frame = test::SnacPacket(
        0x03, 0x0B, test::Bytes(notices[0].data.begin() + 10, notices[0].data.end()));
    for (auto _ : state) HandleBuddyFamily(world.Account(), frame);
}

// A storm as a sign-on brings it: notices for `count` known contacts in one transaction (as one
// burst of the session), each changing the contact's status, text and mood, so that every one
// stores a status change.
std::vector<COscarPacket> StormNotices(const WorldSpec& shape, int count, bool away) {
    std::vector<COscarPacket> frames;
    for (int i = 0; i < count; ++i) {
        const std::array<uint8_t, 16> digest = PictureDigest(ContactPicture(shape, 0, i));
        const std::string note = away ? "away for lunch " : "on the road again, back at ";
        const test::Bytes block = test::UserBlock(
            ContactLogin(0, i),
            {test::ClassTlv(0x0050), test::StatusTlv(away ? 0x0001 : 0x0000),
             test::SessionDataTlv({test::Item(0x0001, 0x01, digest),
                                   test::StatusTextItem(note + std::to_string(i % 12)),
                                   test::MoodItem("icqmood" + std::to_string((i + away) % 20))})});
        frames.push_back(test::SnacPacket(0x03, 0x0B, block));
    }
    return frames;
}

// A tick that a benchmark moves on: a status change seconds after the last one is a row of its
// own, as at a sign-on (changes close together replace each other's row).
std::atomic<uint32_t> g_tickOffset{0};
uint32_t OffsetTick() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms) + g_tickOffset.load();
}

void BM_PresenceStorm(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    SessionWorld world(count);
    WorldSpec shape;
    shape.contactsPerAccount = count;
    shape.pictureBytes = 2048;
    const std::vector<COscarPacket> sets[2] = {StormNotices(shape, count, false),
                                               StormNotices(shape, count, true)};
    int round = 0;
    SetTickSource(&OffsetTick);
    for (auto _ : state) {
        g_tickOffset += 10000;
        CTransaction transaction;
        for (const COscarPacket& frame : sets[round % 2]) {
            COscarPacket copy = frame;
            HandleBuddyFamily(world.Account(), copy);
        }
        transaction.Commit();
        RunPictureChecks(world.Account(), sets[0].size());
        ++round;
    }
    SetTickSource(nullptr);
    state.SetItemsProcessed(static_cast<int64_t>(round) * count);
}
BENCHMARK(BM_PresenceStorm)->Arg(500)->Unit(benchmark::kMillisecond);

// A returning account's list download: every reply of a 5,000-contact list through the list
// family's handler, against a store that already holds the contacts (nothing changes).
void BM_ServerListOfKnownContacts(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    SessionWorld world(count);
    WorldSpec shape;
    shape.contactsPerAccount = count;
    std::vector<COscarPacket> replies;
    for (const OutFrame& f : ServerListFrames(shape, 0)) {
        replies.push_back(test::SnacPacket(0x13, 0x06,
                                           test::Bytes(f.data.begin() + 10, f.data.end()), 0,
                                           ReadU16(f.data.data() + 4)));
    }
    for (auto _ : state) {
        CTransaction transaction;
        for (COscarPacket& reply : replies) HandleListFamily(world.Account(), reply);
        transaction.Commit();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_ServerListOfKnownContacts)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_PresenceKnownContact(benchmark::State& state) {
    Presence(state, true);
}
BENCHMARK(BM_PresenceKnownContact)->Arg(100)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_PresenceUnknownContact(benchmark::State& state) {
    Presence(state, false);
}
BENCHMARK(BM_PresenceUnknownContact)->Arg(100)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_FindContact(benchmark::State& state) {
    const int contacts = static_cast<int>(state.range(0));
    SessionWorld world(contacts);
    const std::u16string login = Widen(ContactLogin(0, contacts / 2));
    for (auto _ : state) {
        benchmark::DoNotOptimize(world.Account().Contacts().FindContact(&world.Account(), login));
    }
}
BENCHMARK(BM_FindContact)->Arg(100)->Arg(5000)->Arg(10000);

// Every contact in turn, as a list download or a presence storm asks for them.
void BM_FindEveryContact(benchmark::State& state) {
    const int contacts = static_cast<int>(state.range(0));
    SessionWorld world(contacts);
    std::vector<std::u16string> logins;
    for (int i = 0; i < contacts; ++i) logins.push_back(Widen(ContactLogin(0, i)));
    for (auto _ : state) {
        for (const std::u16string& login : logins) {
            benchmark::DoNotOptimize(
                world.Account().Contacts().FindContact(&world.Account(), login));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * contacts);
}
BENCHMARK(BM_FindEveryContact)->Arg(5000);

}  // namespace
}  // namespace zul::bench
