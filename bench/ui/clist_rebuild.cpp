// clist_rebuild: the contacts page with 10,000 contacts in 50 groups, a third of them online,
// at 480 x 800 and 192 dpi. Figures: RebuildNow (recollect, regroup, resort, relayout) for
// each sort key, median of repeated runs; and one scrolled frame (the content offset moves as
// a drag moves it, the band of the canvas follows, the window paints), over a scroll through
// the whole list.
#include <algorithm>

#include "storage/options.h"
#include "storage/status.h"
#include "support/figures.h"
#include "ui/drivers.h"
#include "ui/ui_world.h"

namespace zul::bench {
namespace {

constexpr int kContacts = 10000;
constexpr int kGroups = 50;
constexpr int kRebuildRuns = 15;

double MedianRebuildMs(ContactListPage& page) {
    std::vector<double> runs;
    for (int r = 0; r < kRebuildRuns; ++r) {
        const auto start = Clock::now();
        page.RebuildNow();
        runs.push_back(SecondsBetween(start, Clock::now()) * 1000.0);
    }
    return Percentile(runs, 50);
}

}  // namespace

int RunClistRebuild(int argc, char** argv) {
    WorldSpec shape;
    shape.contactsPerAccount = kContacts;
    shape.groupsPerAccount = kGroups;
    UiWorld world(argc, argv, shape);

    // A third online in assorted states, some with a status text.
    static const int32_t kStates[] = {kStatusAvailable, kStatusAway, kStatusOccupied,
                                      kStatusNotAvailable, kStatusDnd};
    int k = 0;
    for (const ContactPtr& c : world.Contacts().ContactsOf(nullptr)) {
        if (k % 3 == 0) {
            c->SetStatus(kStates[(k / 3) % 5], k % 2 ? u"out for lunch" : u"", kMoodNone, true,
                         false);
        }
        ++k;
    }
    ContactListPage& page = world.ContactsPage();
    page.RebuildNow();
    world.PaintNow();

    struct SortKey {
        const char* name;
        uint8_t type;
    };
    const SortKey keys[] = {
        {"status", kSortByStatus}, {"activity", kSortByActivity}, {"name", kSortByName}};
    double worst = 0;
    for (const SortKey& key : keys) {
        Options().ClistSortType = key.type;
        const double ms = MedianRebuildMs(page);
        worst = std::max(worst, ms);
        PrintFigure({std::string("clist_rebuild_by_") + key.name, ms, "ms", "", true, {}});
    }
    PrintFigure({"clist_rebuild", worst, "ms", "<= 20 ms (slowest sort key)", worst <= 20, {}});

    // Scrolling through the list, one frame per step, as a drag or a fling moves it.
    Options().ClistSortType = kSortByStatus;
    page.RebuildNow();
    world.PaintNow();
    const int viewHeight = page.ViewHeight();
    const int bottom = std::max(0, page.ContentHeight() - viewHeight);
    const int step = 37;  // pixels per frame: a brisk fling at 192 dpi
    std::vector<double> frames;
    int paints = 0;
    for (int y = step; y <= bottom; y += step) {
        const auto start = Clock::now();
        page.SetContentOffset(-y);
        page.EnsureRows(y, y + viewHeight);
        paints += world.PaintNow();
        frames.push_back(SecondsBetween(start, Clock::now()) * 1000.0);
    }
    const double p95 = Percentile(frames, 95);
    const bool painted = paints >= static_cast<int>(frames.size());
    PrintFigure({"clist_scroll_frame_p95", p95, "ms", "<= 4 ms", painted && p95 <= 4, {}});
    PrintFigure({"clist_scroll_frame_p50", Percentile(frames, 50), "ms", "", true, {}});
    PrintFigure({"clist_scroll_frame_max", Percentile(frames, 100), "ms", "", true, {}});
    if (!painted) {
        std::fprintf(stderr, "clist: %d paints for %zu frames\n", paints, frames.size());
        return 1;
    }
    return 0;
}

}  // namespace zul::bench
