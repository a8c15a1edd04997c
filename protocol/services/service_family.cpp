// Generic service (family 0x01): the sign-on sequence that brings a new service connection
// into use, rate classes, the family's messages on a running session, and the own status.
#include <vector>

#include "accounts/status.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/error.h"

namespace zul {
namespace {

constexpr uint16_t kToolId = 0x0110;
constexpr uint16_t kToolVersion = 0x164F;
// A rate table always has at least this many positions.
constexpr size_t kMinRateClasses = 5;

// The families and versions the client announces, in announcement order.
constexpr uint16_t kFamilyVersions[][2] = {
    {0x0022, 1}, {0x0001, 4}, {0x0013, 4}, {0x0002, 1}, {0x0003, 1}, {0x0015, 1},
    {0x0004, 1}, {0x0006, 1}, {0x0009, 1}, {0x000A, 1}, {0x000B, 1},
};

// Waits for the reply to a request and drops it.
void ReceiveAndDrop(COscar& session, uint16_t family, uint16_t subtype) {
    COscarPacket reply;
    session.ReceiveReply(reply, family, {subtype});
}

void SendEmptySnac(COscar& session, Link link, uint16_t family, uint16_t subtype) {
    COscarPacket frame = COscarPacket::Snac(family, subtype);
    session.SendFrame(link, frame);
}

}  // namespace

// Reads SNAC(0x01,0x07) into a table. Classes the server counts but does not describe, and
// positions up to the minimum of five, are empty classes with zero levels.
std::vector<RateClass> ParseRateInfo(ByteSpan body) {
    ByteReader r(body);
    const uint16_t count = r.ReadU16();
    std::vector<RateClass> classes;
    for (uint16_t i = 0; i < count && r.ok(); ++i) {
        RateClass c;
        r.ReadU16();  // class id, not kept
        c.windowSize = r.ReadU32();
        c.clearLevel = r.ReadU32();
        c.alertLevel = r.ReadU32();
        c.limitLevel = r.ReadU32();
        r.ReadU32();  // disconnect level
        c.currentLevel = r.ReadU32();
        c.maxLevel = r.ReadU32();
        if (!r.ok()) break;
        classes.push_back(std::move(c));
    }
    const size_t described = classes.size();
    for (size_t i = 0; i < described && r.ok(); ++i) {
        r.ReadU16();  // class id
        const uint16_t members = r.ReadU16();
        for (uint16_t m = 0; m < members && r.ok(); ++m) {
            uint32_t member = r.ReadU32();
            if (r.ok()) classes[i].members.push_back(member);
        }
    }
    if (classes.size() < kMinRateClasses) classes.resize(kMinRateClasses);
    return classes;
}

void SendRateAcknowledge(COscar& session, Link link) {
    COscarPacket ack = COscarPacket::Snac(0x01, 0x08);
    const size_t count = session.Rates(link).Count();
    for (size_t p = 0; p < count; ++p) ack.AppendU16(static_cast<uint16_t>(p));
    session.SendFrame(link, ack);
}

void ApplyRateChange(RateClassTable& table, ByteSpan body) {
    ByteReader r(body);
    r.ReadU16();  // message code
    const uint16_t position = r.ReadU16();
    r.Skip(20);  // window, clear, alert, limit and disconnect levels
    const uint32_t current = r.ReadU32();
    if (r.ok()) table.SetCurrentLevel(position, current);
}

void SendIdle(COscar& session, uint32_t seconds) {
    COscarPacket frame = COscarPacket::Snac(0x01, 0x11);
    frame.AppendU32(seconds);
    session.SendFrame(Link::Service, frame);
}

bool SendOwnStatus(COscar& session, int32_t status) {
    try {
        const uint16_t wire = StatusToWire(session.EffectiveType(), status);
        const uint8_t mode = wire == 0x0100 ? 3 : 4;
        const uint16_t requestId = session.Pending().Add(0);
        uint16_t itemId = session.PermitDenyItemId();
        uint16_t subtype = 0x09;
        if (itemId == 0) {
            itemId = 0x9999;
            subtype = 0x08;
            session.SetPermitDenyItemId(itemId);
        }
        COscarPacket privacy = COscarPacket::Snac(0x13, subtype, requestId);
        privacy.AppendU16(0x0000);  // no name
        privacy.AppendU16(0x0000);  // group
        privacy.AppendU16(itemId);
        privacy.AppendU16(0x0004);  // permit/deny settings
        privacy.AppendU16(0x0005);  // TLV block length
        privacy.AppendTlvU8(0x00CA, mode);
        session.SendFrame(Link::Service, privacy);

        COscarPacket statusFrame = COscarPacket::Snac(0x01, 0x1E);
        statusFrame.AppendU16(0x0006);
        statusFrame.AppendU16(4);
        statusFrame.AppendU16(0x0100);
        statusFrame.AppendU16(wire);
        session.SendFrame(Link::Service, statusFrame);
        return true;
    } catch (const CError&) {
        return false;
    }
}

void SignOnServices(COscar& session) {
    // Rate classes.
    SendEmptySnac(session, Link::Service, 0x01, 0x06);
    COscarPacket rates;
    session.ReceiveReply(rates, 0x01, {0x07});
    session.Rates(Link::Service).Assign(ParseRateInfo(rates.snacData()));
    SendRateAcknowledge(session, Link::Service);

    // Rights of each family.
    SendEmptySnac(session, Link::Service, 0x02, 0x02);
    ReceiveAndDrop(session, 0x02, 0x03);
    SendEmptySnac(session, Link::Service, 0x03, 0x02);
    ReceiveAndDrop(session, 0x03, 0x03);
    SetMessageParameters(session);
    SendEmptySnac(session, Link::Service, 0x09, 0x02);
    ReceiveAndDrop(session, 0x09, 0x03);
    COscarPacket listRights = COscarPacket::Snac(0x13, 0x02);
    listRights.AppendTlvU16(0x000B, 0x000F);
    session.SendFrame(Link::Service, listRights);
    ReceiveAndDrop(session, 0x13, 0x03);

    // The server-side list.
    SendEmptySnac(session, Link::Service, 0x13, 0x04);
    ReceiveServerList(session);
    SendEmptySnac(session, Link::Service, 0x13, 0x07);

    SendCapabilities(session);
    SendIdle(session, 0);

    const int32_t requested = session.RequestedStatus();
    if (session.SendStatus(requested)) {
        session.SetStatus(requested);
        session.dbSave();
    }

    COscarPacket ready = COscarPacket::Snac(0x01, 0x02);
    for (const auto& fv : kFamilyVersions) {
        ready.AppendWordPair(fv[0], fv[1]);
        ready.AppendWordPair(kToolId, kToolVersion);
    }
    session.SendFrame(Link::Service, ready);

    session.Contacts().dbCleanGroups(&session);
    session.MarkRepaint();

    const uint16_t offlineId = session.Pending().Add(0);
    COscarPacket offline = COscarPacket::Snac(0x04, 0x10, offlineId);
    session.SendFrame(Link::Service, offline);

    session.RequestShortDetails(session.Login(), true);
}

void HandleServiceFamily(COscar& session, COscarPacket& frame) {
    switch (frame.subtype()) {
        case 0x03: {
            COscarPacket versions = COscarPacket::Snac(0x01, 0x17);
            for (const auto& fv : kFamilyVersions) versions.AppendWordPair(fv[0], fv[1]);
            session.SendFrame(Link::Service, versions);
            break;
        }
        case 0x05: HandleRedirectService(session, frame); break;
        case 0x0A: ApplyRateChange(session.Rates(Link::Service), frame.snacData()); break;
        case 0x18: SendEmptySnac(session, Link::Service, 0x01, 0x06); break;
        case 0x21: HandleOwnPictureInfo(session, frame); break;
        default: break;
    }
}

}  // namespace zul
