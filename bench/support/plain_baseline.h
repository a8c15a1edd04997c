// What the plain-SQLite baselines of the load drivers share: the frames parsed as the client
// must parse them.
#pragma once

#include <cstddef>

#include "support/wire_builders.h"

namespace zul::bench {

// Parses every frame of the stream as the client must: list items, user blocks with their
// TLVs and session data, messages. Returns a checksum so that nothing is optimised away.
size_t ParseStream(const test::Bytes& stream);

}  // namespace zul::bench
