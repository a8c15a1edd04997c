// The chat roles of the scripted OSCAR server: the room navigation (rights, create or find a
// room by name) and the rooms themselves (sign-on with the redirect's cookie, room
// information, members on client-ready), both on one listener told apart by the cookie, and
// the service server's redirects to them. Built from the wire layout, not the program's code.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/oscar_server.h"

namespace zul::test {

// Exchange, cookie with an 8-bit length, instance.
Bytes RoomRefWire(uint16_t exchange, std::string_view cookie, uint16_t instance);
// A room-information block: the reference, detail level 2, one TLV 0xD3 with the name.
Bytes RoomInfoWire(uint16_t exchange, std::string_view cookie, std::string_view name);
// A member list of SNAC(0x0E,0x03/0x04): one user block per name.
Bytes MemberList(const std::vector<std::string>& names);
// SNAC(0x0E,0x06) from `sender`: the text in `charset`.
Bytes RoomMessageWire(std::string_view sender, std::string_view charset, const Bytes& text);
// SNAC(0x04,0x07) carrying a channel-2 rendezvous with the chat capability; `roomBlock` is
// TLV 0x2711's value.
Bytes InvitationWire(std::string_view from, const Bytes& roomBlock, std::string_view text,
                     uint16_t kind = 0);

class ChatServer {
  public:
    ChatServer();

    ScriptedServer& Server() { return server_; }
    // The service server answers service requests for the navigation (0x0D) and the rooms
    // (0x0E) with redirects here.
    void ServeRedirectsOn(ScriptedServer& service);
    // Who the room lists, besides whoever signs on, when a client becomes ready in it.
    void SetMembers(std::vector<std::string> members);
    // The name the create answer gives instead of the one asked for (a hostile server).
    void SetAnsweredName(std::optional<std::string> name);
    // The connection of the room with that cookie ("4-0-name"), once a client signed on to it.
    std::optional<int> RoomConnection(const std::string& cookie) const;
    bool WaitForRoom(const std::string& cookie, Timeout timeout = kDefaultWait) const;

  private:
    Reply SignOn(const ReceivedFrame& frame);
    Reply ClientReady(const ReceivedFrame& frame);
    Reply Create(const ReceivedFrame& frame);

    ScriptedServer server_;
    mutable std::mutex mutex_;
    std::map<int, std::string> rooms_;  // connection -> room cookie; "" for the navigation
    std::vector<std::string> members_;
    std::optional<std::string> answeredName_;
};

}  // namespace zul::test
