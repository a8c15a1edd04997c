// The ICQ meta questions about a user this client asks: the short details and the full
// directory entry.
#pragma once

#include <cstdint>
#include <vector>

namespace zul {

// The data of TLV 0x0001 of a short-details request (all integers low byte first): byte count,
// own number, meta request, sequence (the pending request's id), short details, the number
// asked about.
std::vector<uint8_t> ShortDetailsRequestData(uint32_t ownNumber, uint16_t sequence,
                                             uint32_t number);
// The same for any request about one number (`subtype`: 0x04BA short, 0x04B2 full details).
std::vector<uint8_t> UserMetaRequestData(uint32_t ownNumber, uint16_t sequence, uint16_t subtype,
                                         uint32_t number);
// The same for any meta request: the header, then the request's own bytes.
std::vector<uint8_t> MetaRequestData(uint32_t ownNumber, uint16_t sequence, uint16_t subtype,
                                     const std::vector<uint8_t>& payload);

}  // namespace zul
