// Every test in this binary sees the window framework follow the profile's options, as the
// running client does after start-up.
#include "ui/shell/app.h"

namespace {
const bool kFollowing = (zul::FollowOptionsInPages(), true);
}  // namespace
