// Screen lengths are written at 96 pixels per inch and scaled to the display. The two dpi
// values are asked from the primary screen once and cached; tests may override them.
#pragma once

namespace zul {

class Dpi {
  public:
    // Horizontal and vertical pixels per inch of the display (or of the override).
    static int X();
    static int Y();

    // Forces both values (tests run at 96 and 192); 0 returns to the display's values.
    static void SetOverride(int x, int y);
    static void ClearOverride() { SetOverride(0, 0); }
};

// (v * dpi + 48) / 96 with integer division: x for widths and x offsets, y for heights.
int ScaleX(int v);
int ScaleY(int v);

// Constants of pointer handling derived from the horizontal dpi.
int Unit();                 // (dpi x + 48) / 96, at least 1
int TapTolerance();         // 10 px scaled horizontally
int DragThreshold();        // 5 * unit
int ScrollTimerInterval();  // 10 / unit ms, at least 1
int SlideTimerInterval();   // 10 / unit ms, at least 1
double FlingGain();         // 140 / unit

}  // namespace zul
