#include "ui/framework/page_look.h"

#include <utility>

namespace zul {

namespace {
// Set by the shell at start-up, read on the window thread only.
std::function<PageLook()>& Source() {
    static std::function<PageLook()> source;
    return source;
}
}  // namespace

PageLook CurrentPageLook() {
    const auto& source = Source();
    return source ? source() : PageLook{};
}

void SetPageLookSource(std::function<PageLook()> source) {
    Source() = std::move(source);
}

}  // namespace zul
