#pragma once

#include <functional>

// Sounds a tone of freqHz for durationMs. Without a sound device the
// desktop's beep stands in for it. While a hook is installed the hook gets
// the tone instead (tests observe beeps this way).
void Beep(int freqHz, int durationMs);

// The tone of a refused key.
constexpr int REFUSED_KEY_BEEP_HZ = 1500;
constexpr int REFUSED_KEY_BEEP_MS = 50;

using BeepHook = std::function<void(int freqHz, int durationMs)>;

// Installs hook (an empty one removes it); returns the previous hook.
BeepHook SetBeepHook(BeepHook hook);
