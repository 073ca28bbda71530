#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "comm/Notify.h"

// What a worker posted, in order, as a UI would receive it.
struct Posted {
    WindowHandle wnd;
    int code;
    long value;
};

inline bool operator==(const Posted& a, const Posted& b) {
    return a.wnd == b.wnd && a.code == b.code && a.value == b.value;
}

// Installs itself as the process's poster and queues every post.
class PostRecorder {
  public:
    PostRecorder() {
        Instance() = this;
        SetCommResultPoster(&PostRecorder::Post);
    }
    ~PostRecorder() {
        SetCommResultPoster(nullptr);
        Instance() = nullptr;
    }
    PostRecorder(const PostRecorder&) = delete;
    PostRecorder& operator=(const PostRecorder&) = delete;

    // Waits until at least n posts are queued; returns false after ms.
    bool WaitFor(size_t n, int ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return m_posts.size() >= n; });
    }
    std::vector<Posted> Posts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posts.clear();
    }

  private:
    static PostRecorder*& Instance() {
        static PostRecorder* instance = nullptr;
        return instance;
    }
    static void Post(WindowHandle wnd, int code, long value) {
        PostRecorder* self = Instance();
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_posts.push_back({wnd, code, value});
        self->m_cond.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Posted> m_posts;
};
