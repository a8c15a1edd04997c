// The standard sign-on as the scripted servers play it: the login server hands out the service
// address and a cookie; the service server answers the cookie with its family list, then the
// rate request, the rights requests, the server-list request, the offline-message request and
// list edits as a real server would. Shared by the session harness, the end-to-end tests and
// the local demo server; it needs no test framework.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/oscar_server.h"

namespace zul::test {

// The service rate information: three classes, the second holding SNAC(0x04,0x06).
Bytes StandardRateInfo();

// One item of a server-list reply.
struct ListItem {
    std::string name;
    uint16_t groupId = 0;
    uint16_t itemId = 0;
    uint16_t type = 0;
    Bytes tlvs;
};
// A server-list reply body: version 0, item count, items, time 0.
Bytes ServerListBody(const std::vector<ListItem>& items);

struct SignOnScript {
    // Body of the server-list reply SNAC(0x13,0x06); empty: the server answers 0x0F.
    Bytes serverList;
    // Answer the offline-message request at once with its end marker (0x04,0x17).
    bool endOfflineMessages = true;
};

// The cookie the login server hands out.
Bytes StandardCookie();

// A channel-1 login request (it carries TLV 0x0001, the login).
bool IsLoginRequest(const ReceivedFrame& frame);
// A channel-1 cookie frame (it carries TLV 0x0006).
bool IsCookieFrame(const ReceivedFrame& frame);
// The request type of an ICQ meta request SNAC(0x15,0x02); 0 for any other frame.
uint16_t MetaRequestType(const ReceivedFrame& frame);

// Login server: every login request (channel 1, or the MD5 login's SNAC(0x17,0x02) after the
// key "key1"), whatever its login and password, is answered with `serviceAddress`
// ("host:port") and the standard cookie; `observe` (when given) sees each request first.
void AddLoginRules(ScriptedServer& login, const std::string& serviceAddress,
                   std::function<void(const ReceivedFrame&)> observe = {});
// Service server: the rules of the sign-on sequence and of list edits.
void AddServiceRules(ScriptedServer& service, const SignOnScript& script);

}  // namespace zul::test
