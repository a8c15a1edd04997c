// What the scripted servers send in the load drivers, built before the clock starts: the
// world's server list, presence storms, offline messages and live message streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/bench_profile.h"
#include "support/oscar_server.h"

namespace zul::bench {

using test::Bytes;
using test::OutFrame;

// The SNAC(0x13,0x06) replies of account a's list (groups, then buddies with nicknames), each
// within one frame, "more follows" on all but the last.
std::vector<OutFrame> ServerListFrames(const WorldSpec& shape, int a);

// One presence notice SNAC(0x03,0x0B) per contact, for contacts [first, first + count) of
// account a: a status, a status text with its time, a mood, and the hash of the picture the
// profile already holds (so no download follows).
std::vector<OutFrame> PresenceNotices(const WorldSpec& shape, int a, int first, int count);

// Offline messages SNAC(0x04,0x07) answering the request `requestId`, from the first `senders`
// contacts in turn, followed by the end marker SNAC(0x04,0x17).
std::vector<OutFrame> OfflineMessages(const WorldSpec& shape, int a, int count, int senders,
                                      uint32_t requestId);

// Live channel-1 messages from the first `senders` contacts in turn. The text of message k
// starts with "m<k> ".
std::vector<OutFrame> LiveMessages(const WorldSpec& shape, int a, int count, int senders);

// The frames as one byte stream, numbered from `firstSequence`.
Bytes EncodeFrames(const std::vector<OutFrame>& frames, uint16_t firstSequence = 1000);

// The message index of a text made by LiveMessages; -1 for another text.
int MessageIndex(std::u16string_view text);

}  // namespace zul::bench
