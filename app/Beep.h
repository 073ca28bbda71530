#pragma once

#include <functional>

// Sounds a tone of freqHz for durationMs. Without a sound device the
// desktop's beep stands in for it. While a hook is installed the hook gets
// the tone instead (tests observe beeps this way).
void Beep(int freqHz, int durationMs);

using BeepHook = std::function<void(int freqHz, int durationMs)>;

// Installs hook (an empty one removes it); returns the previous hook.
BeepHook SetBeepHook(BeepHook hook);
