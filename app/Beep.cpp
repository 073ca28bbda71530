#include "app/Beep.h"

#include <QApplication>

namespace {
BeepHook g_beepHook;
}

void Beep(int freqHz, int durationMs) {
    if (g_beepHook) {
        g_beepHook(freqHz, durationMs);
        return;
    }
    // Qt offers no tone of a given pitch; these machines have no sound
    // device either, so the desktop's bell is the tone.
    QApplication::beep();
}

BeepHook SetBeepHook(BeepHook hook) {
    BeepHook old = std::move(g_beepHook);
    g_beepHook = std::move(hook);
    return old;
}
