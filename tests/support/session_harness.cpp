#include "support/session_harness.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/text.h"
#include "protocol/transport/connection.h"
#include "storage/database.h"
#include "storage/options.h"

namespace zul::test {

Bytes StandardRateInfo() {
    ByteWriter w;
    w.U16(3);
    for (uint16_t id = 1; id <= 3; ++id) {
        w.U16(id).U32(80).U32(2500).U32(2000).U32(1500).U32(800).U32(6000).U32(6000);
    }
    w.U16(1).U16(1).U32(0x00010006);
    w.U16(2).U16(1).U32(0x00040006);
    w.U16(3).U16(0);
    return w.bytes;
}

Bytes ServerListBody(const std::vector<ListItem>& items) {
    ByteWriter w;
    w.U8(0).U16(static_cast<uint16_t>(items.size()));
    for (const auto& item : items) {
        w.U16(static_cast<uint16_t>(item.name.size())).Raw(item.name);
        w.U16(item.groupId).U16(item.itemId).U16(item.type);
        w.U16(static_cast<uint16_t>(item.tlvs.size())).Raw(item.tlvs);
    }
    w.U32(0);
    return w.bytes;
}

SessionHarness::SessionHarness(HarnessOptions options) {
    CConnection::Reset();
    EXPECT_TRUE(Database().Open());
    Options().ResetToDefaults();
    Options().ReconnectOnError = options.reconnectOnError ? 1 : 0;
    Options().RestoreLastStatusesOnStart = 0;

    login_ = std::make_unique<ScriptedServer>(true);
    service_ = std::make_unique<ScriptedServer>(true);

    // The test's own rules come first, so they take precedence over the standard ones.
    if (options.script) options.script(*login_, *service_);
    const std::string serviceAddress = service_->HostPort();
    login_->OnFrame(
        [](const ReceivedFrame& f) {
            return f.channel == 0x01 && f.data.size() > 4 && FindTlv(ParseTlvs(std::span(f.data).subspan(4)), 0x0001);
        },
        [serviceAddress](const ReceivedFrame&) {
            const uint8_t cookie[] = {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
            return Reply({LoginReply(serviceAddress, cookie)});
        });

    ScriptedServer& s = *service_;
    s.OnFrame(
        [](const ReceivedFrame& f) {
            return f.channel == 0x01 && f.data.size() > 4 && FindTlv(ParseTlvs(std::span(f.data).subspan(4)), 0x0006);
        },
        [](const ReceivedFrame&) {
            ByteWriter families;
            for (uint16_t f : {0x0001, 0x0002, 0x0003, 0x0004, 0x0009, 0x0013, 0x0015}) families.U16(f);
            return Reply({SnacFrame(0x01, 0x03, families.bytes)});
        });
    s.OnSnac(0x01, 0x06, Reply({SnacFrame(0x01, 0x07, StandardRateInfo())}));
    s.OnSnac(0x02, 0x02, Reply({SnacFrame(0x02, 0x03)}));
    s.OnSnac(0x03, 0x02, Reply({SnacFrame(0x03, 0x03)}));
    s.OnSnac(0x04, 0x04, Reply({SnacFrame(0x04, 0x05)}));
    s.OnSnac(0x09, 0x02, Reply({SnacFrame(0x09, 0x03)}));
    s.OnSnac(0x13, 0x02, Reply({SnacFrame(0x13, 0x03)}));
    // Like a real server: the end of offline messages, and acknowledgements of list edits.
    if (options.endOfflineMessages) {
        s.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x04, 0x10); },
                  [](const ReceivedFrame& f) {
                      return Reply({SnacFrame(0x04, 0x17, {}, f.requestId())});
                  });
    }
    s.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x13, 0x08) || f.IsSnac(0x13, 0x09); },
              [](const ReceivedFrame& f) {
                  const uint8_t ok[] = {0x00, 0x00};
                  return Reply({SnacFrame(0x13, 0x0E, ok, f.requestId())});
              });
    if (options.serverList.empty()) {
        s.OnSnac(0x13, 0x04, Reply({SnacFrame(0x13, 0x0F)}));
    } else {
        s.OnSnac(0x13, 0x04, Reply({SnacFrame(0x13, 0x06, options.serverList)}));
    }

    CAccountData data;
    data.SetID(77);
    data.SetType(acctype::kIcq);
    data.SetLogin(options.login);
    data.SetPassword(options.password);
    data.SetServer(u"127.0.0.1");
    data.SetPort(Widen(std::to_string(login_->Port())));
    data.SetDescription(u"Test account");
    data.SetEnabled(1);
    account_ = std::make_unique<COscar>(data, contacts_, folders_.DataDir());
    account_->dbSave();
    account_->LoadContacts();
}

SessionHarness::~SessionHarness() {
    account_->Disconnect(false);
    account_.reset();
    login_.reset();
    service_.reset();
    Database().Close();
}

bool SessionHarness::WaitUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

bool SessionHarness::SignOn(int32_t status, std::chrono::milliseconds timeout) {
    const size_t offlineRequests = service_->CountFrames(ScriptedServer::IsSnac(0x04, 0x10));
    account_->RequestStatus(status);
    // Signed on: the status is set, the last request of the sequence has arrived, and the
    // receive loop has taken over the frames kept during sign-on.
    return WaitUntil(
        [&] {
            return account_->Status() == status &&
                   service_->CountFrames(ScriptedServer::IsSnac(0x04, 0x10)) > offlineRequests &&
                   account_->DeferredCount() == 0;
        },
        timeout);
}

void SessionHarness::ServerSends(uint16_t family, uint16_t subtype, const Bytes& payload,
                                 uint32_t requestId, uint16_t flags) {
    service_->Send(SnacFrame(family, subtype, payload, requestId, flags));
}

}  // namespace zul::test
