// The settings the window framework follows. The framework does not read the profile's options
// itself: the shell installs a source that builds these values from them, and until it does the
// framework uses the defaults below.
#pragma once

#include <functional>

namespace zul {

struct PageLook {
    bool openByDoubleClick = true;  // a single tap only focuses a row
    bool captionTransparent = false;
    int captionOpacity = 220;      // 0..255, used when captionTransparent
    int scrollbarWidth = 4;        // unscaled pixels; 0 hides the indicator
    int scrollbarOffset = 0;       // from the right edge, unscaled pixels
    bool scrollbarAlways = false;  // also when the page is not moving
    bool focusEditorOnChat = true;
};

// The values in force now; asked for on every use, so a change of the options shows at once.
PageLook CurrentPageLook();
void SetPageLookSource(std::function<PageLook()> source);

}  // namespace zul
