#include "comm/Notify.h"

#include <atomic>

namespace {
std::atomic<CommResultPoster> g_poster{nullptr};
}

void SetCommResultPoster(CommResultPoster poster) {
    g_poster.store(poster);
}

void PostCommResult(WindowHandle wnd, int code, long value) {
    if (wnd == NO_WINDOW) {
        return;
    }
    if (const CommResultPoster poster = g_poster.load()) {
        poster(wnd, code, value);
    }
}
