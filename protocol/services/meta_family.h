// The ICQ meta question this client asks: a contact's short details.
#pragma once

#include <cstdint>
#include <vector>

namespace zul {

// The data of TLV 0x0001 of a short-details request (all integers low byte first): byte count,
// own number, meta request, sequence (the pending request's id), short details, the number
// asked about.
std::vector<uint8_t> ShortDetailsRequestData(uint32_t ownNumber, uint16_t sequence,
                                             uint32_t number);

}  // namespace zul
