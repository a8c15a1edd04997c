// chat_open: a contact with 100,000 messages in the profile; the time from the tap that opens
// its chat page (the second tap of a double tap, as the list opens contacts by default) to the
// first painted frame of the window, the resident memory the open chat added, and how many
// rows of the history it read. Then chat_scroll: the chat scrolled from its end to the top of
// the 100,000 events, half a view per frame (a fast fling), the older pages read as the view
// comes near them; the time of each frame.
#include <malloc.h>

#include "support/figures.h"
#include "ui/drivers.h"
#include "ui/ui_world.h"
#include "ui/views/chat_page.h"

namespace zul::bench {

int RunChatOpen(int argc, char** argv) {
    constexpr int kMessages = 100000;
    WorldSpec shape;
    shape.contactsPerAccount = 20;
    shape.groupsPerAccount = 2;
    shape.historyPerContact = 10;
    shape.firstContactMessages = kMessages;
    UiWorld world(argc, argv, shape);
    ContactListPage& page = world.ContactsPage();
    page.RebuildNow();
    world.PaintNow();

    ContactPtr contact;
    for (const ContactPtr& c : world.Contacts().ContactsOf(nullptr)) {
        if (c->LocalID() == ContactLocalId(0, 0)) contact = c;
    }
    ContactRow* row = contact ? page.RowOf(contact.get()) : nullptr;
    if (!row) throw std::runtime_error("the contact is not listed");
    // The row in view, as the user sees it before tapping.
    page.SetContentOffset(-std::max(0, row->Top() - page.CaptionHeight()));
    page.EnsureRows(-page.ContentOffset(), -page.ContentOffset() + page.ViewHeight());
    world.PaintNow();
    malloc_trim(0);
    const size_t before = ResidentBytes();

    const QPoint tap = row->Rect().center();
    const auto start = Clock::now();
    page.OnDoubleTap(tap.x(), tap.y());
    const int paints = world.PaintNow();
    const double ms = SecondsBetween(start, Clock::now()) * 1000.0;

    ChatPage* chat = page.FindChatPage(contact.get());
    const bool opened = chat != nullptr && paints > 0 && chat->Drawn() && !chat->Rows().empty() &&
                        chat->Rows().back()->Event().Number() == kMessages;
    const size_t after = ResidentBytes();
    const double addedMb =
        after > before ? static_cast<double>(after - before) / (1024.0 * 1024.0) : 0.0;
    PrintFigure({"chat_open", ms, "ms", "<= 50 ms", opened && ms <= 50, {}});
    PrintFigure({"chat_open_memory", addedMb, "MB", "<= 10 MB", opened && addedMb <= 10, {}});
    const double rowsRead = chat != nullptr ? static_cast<double>(chat->Rows().size()) : 0;
    PrintFigure({"chat_open_rows", rowsRead, "rows", "", true, {}});
    if (!opened) {
        std::fprintf(stderr, "chat_open: page %s, %d paints, %zu rows\n", chat ? "made" : "missing",
                     paints, chat ? chat->Rows().size() : 0);
        return 1;
    }

    // Up to the top, half a view a frame.
    const int view = chat->ViewHeight();
    const int step = std::max(1, view / 2);
    std::vector<double> frames;
    int framePaints = 0;
    while (chat->ContentOffset() < 0 || contact->History().HasOlder()) {
        const auto frameStart = Clock::now();
        chat->ScrollTo(std::min(0, chat->ContentOffset() + step), view);
        framePaints += world.PaintNow();
        frames.push_back(SecondsBetween(frameStart, Clock::now()) * 1000.0);
        if (frames.size() > 10u * kMessages) break;
    }
    const bool top = chat->Rows().size() >= static_cast<size_t>(kMessages) &&
                     chat->Rows().front()->Event().Number() == 1;
    const bool painted = framePaints >= static_cast<int>(frames.size());
    const double p95 = Percentile(frames, 95);
    PrintFigure({"chat_scroll_frame_p95", p95, "ms", "<= 4 ms", top && painted && p95 <= 4, {}});
    PrintFigure({"chat_scroll_frame_p50", Percentile(frames, 50), "ms", "", true, {}});
    PrintFigure({"chat_scroll_frame_max", Percentile(frames, 100), "ms", "", true, {}});
    PrintFigure({"chat_scroll_frames", static_cast<double>(frames.size()), "frames", "", true, {}});
    if (!top || !painted) {
        std::fprintf(stderr, "chat_scroll: %zu rows, first %d, %d paints for %zu frames\n",
                     chat->Rows().size(), chat->Rows().front()->Event().Number(), framePaints,
                     frames.size());
        return 1;
    }
    return 0;
}

}  // namespace zul::bench
