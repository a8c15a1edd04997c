// chat_open: a contact with 100,000 messages in the profile; the time from the tap that opens
// its chat page (the second tap of a double tap, as the list opens contacts by default) to the
// first painted frame of the window, and the resident memory the open chat added.
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
    const bool opened = chat != nullptr && paints > 0 && chat->Drawn() &&
                        chat->Rows().size() >= static_cast<size_t>(kMessages);
    const size_t after = ResidentBytes();
    const double addedMb =
        after > before ? static_cast<double>(after - before) / (1024.0 * 1024.0) : 0.0;
    PrintFigure({"chat_open", ms, "ms", "<= 300 ms", opened && ms <= 300, {}});
    PrintFigure({"chat_open_memory", addedMb, "MB", "<= 100 MB", opened && addedMb <= 100, {}});
    // Of that, the part of the core: the history's rows read into events (a second history of
    // the same contact, so that nothing is cached).
    {
        CContact probe(&contact->Account(), contact->LocalID(), contact->SrvID(), 0, u"",
                       contact->Login(), u"", u"", u"", u"", false, false);
        const auto loadStart = Clock::now();
        probe.History().dbLoad(evtype::kMessage, false);
        PrintFigure({"chat_open_history_load",
                     SecondsBetween(loadStart, Clock::now()) * 1000.0,
                     "ms",
                     "",
                     true,
                     {}});
        probe.MarkRemoved();
    }
    if (!opened) {
        std::fprintf(stderr, "chat_open: page %s, %d paints, %zu rows\n", chat ? "made" : "missing",
                     paints, chat ? chat->Rows().size() : 0);
        return 1;
    }
    return 0;
}

}  // namespace zul::bench
