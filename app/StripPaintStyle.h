#pragma once

#include <QProxyStyle>

// The application's style for scroll bars, with each bar's last look kept
// and shown again until it changes (slider, range, state, palette). The
// raster engine hands a bar's long fills to its thread pool and waits for
// it, which made every repaint of a window's bars, at every frame of timed
// sending, cost the UI thread round trips through two other threads. A look
// is drawn in bands fewer than 96 pixel rows high, whose fills stay on the
// UI thread; the pixels are the style's own. Shared by every bar that uses
// it, never deleted.
QStyle* StripPaintStyle();
