// The server-side list's SNACs as session events, and the bodies the client writes for them.
#include "protocol/services/list_events.h"

#include <algorithm>
#include <string>

#include "accounts/account.h"
#include "platform/text.h"
#include "storage/contacts.h"

namespace zul {
namespace {

// The body of an authorisation SNAC: the login, for an answer the accept byte, the reason.
// Servers send it plain; some put eight bytes before it. The plain reading is taken when it
// accounts for the whole body (a trailing word aside).
struct AuthBody {
    std::u16string login, reason;
    bool accepted = false;
};

std::optional<AuthBody> ParseAuthBody(ByteSpan data, bool withAnswer) {
    for (size_t skip : {size_t{0}, size_t{8}}) {
        ByteReader reader(data);
        reader.Skip(skip);
        const ByteSpan login = reader.ReadBytes(reader.ReadU8());
        const uint8_t answer = withAnswer ? reader.ReadU8() : 0;
        const ByteSpan reason = reader.ReadBytes(reader.ReadU16());
        if (!reader.ok() || login.empty() || reader.Remaining() > 2) continue;
        AuthBody body;
        body.login = CountedUtf8ToWide(login.data(), login.size());
        body.reason = CountedUtf8ToWide(reason.data(), reason.size());
        body.accepted = answer != 0;
        if (!IsUsableLogin(body.login)) continue;
        return body;
    }
    return std::nullopt;
}

// A login as an authorisation body carries it: its UTF-8, cut to the 255 bytes of its length.
void AppendAuthLogin(COscarPacket& frame, const std::u16string& login) {
    const std::string name = ToUtf8(login).substr(0, 0xFF);
    frame.AppendU8(static_cast<uint8_t>(name.size()));
    frame.AppendBytes(name);
}

void AppendAuthReason(COscarPacket& frame, const std::u16string& reason) {
    const std::string text = ToUtf8(reason).substr(0, 0xFFFF);
    frame.AppendU16(static_cast<uint16_t>(text.size()));
    frame.AppendBytes(text);
}

}  // namespace

std::vector<ServerListItem> ReadEditItems(ByteSpan snacData) {
    std::vector<ServerListItem> items;
    ByteReader reader(snacData);
    while (reader.Remaining() > 0) {
        ServerListItem item;
        if (!ReadServerListItem(reader, item)) break;
        items.push_back(std::move(item));
    }
    return items;
}

std::optional<event::ListItem> ListItemEvent(const ServerListItem& item) {
    switch (item.type) {
        case listitem::kBuddy: {
            if (item.name.empty()) return std::nullopt;  // no contact can be made of it
            BuddyFields fields = ReadBuddyFields(item.tlvs);
            return event::ListItem{.kind = event::ListItem::kBuddy,
                                   .name = item.name,
                                   .groupId = item.groupId,
                                   .itemId = item.itemId,
                                   .nickname = std::move(fields.nickname),
                                   .note = std::move(fields.note),
                                   .email = std::move(fields.email),
                                   .phone = std::move(fields.phone),
                                   .awaitingAuth = fields.awaitingAuth};
        }
        case listitem::kGroup:
            if (item.groupId == 0) return std::nullopt;  // the root group
            return event::ListItem{.kind = event::ListItem::kGroup,
                                   .name = item.name,
                                   .groupId = item.groupId,
                                   .itemId = item.itemId};
        default:
            return std::nullopt;
    }
}

void AppendListItem(COscarPacket& frame, const event::ListItem& item, ByteSpan otherTlvs) {
    std::vector<uint8_t> tlvs;
    if (item.kind == event::ListItem::kBuddy) {
        for (const auto& [type, text] :
             {std::pair{buddytlv::kNickname, &item.nickname},
              std::pair{buddytlv::kNote, &item.note}, std::pair{buddytlv::kEmail, &item.email},
              std::pair{buddytlv::kPhone, &item.phone}}) {
            if (!text->empty()) AppendTlvBytes(tlvs, type, ToUtf8(*text));
        }
        if (item.awaitingAuth) AppendTlvBytes(tlvs, buddytlv::kAwaitingAuth, {});
    }
    tlvs.insert(tlvs.end(), otherTlvs.begin(), otherTlvs.end());
    AppendServerListItem(frame, ToUtf8(item.name), item.groupId, item.itemId,
                         item.kind == event::ListItem::kBuddy ? listitem::kBuddy : listitem::kGroup,
                         tlvs);
}

std::optional<event::AuthorisationRequest> AuthorisationRequestEvent(ByteSpan snacData) {
    std::optional<AuthBody> body = ParseAuthBody(snacData, false);
    if (!body) return std::nullopt;
    return event::AuthorisationRequest{.login = std::move(body->login),
                                       .reason = std::move(body->reason)};
}

std::optional<event::AuthorisationAnswer> AuthorisationAnswerEvent(ByteSpan snacData) {
    std::optional<AuthBody> body = ParseAuthBody(snacData, true);
    if (!body) return std::nullopt;
    return event::AuthorisationAnswer{.login = std::move(body->login),
                                      .granted = body->accepted,
                                      .reason = std::move(body->reason)};
}

void AppendAuthorisationRequest(COscarPacket& frame, const event::AuthorisationRequest& request) {
    AppendAuthLogin(frame, request.login);
    AppendAuthReason(frame, request.reason);
    frame.AppendU16(0x0000);
}

void AppendAuthorisationAnswer(COscarPacket& frame, const event::AuthorisationAnswer& answer) {
    AppendAuthLogin(frame, answer.login);
    frame.AppendU8(answer.granted ? 0x01 : 0x00);
    AppendAuthReason(frame, answer.reason);
}

}  // namespace zul
