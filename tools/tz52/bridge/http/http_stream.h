// One client's stream of Server-Sent Events as the handler that opened it
// sees it: text is sent from any thread and waits in a bounded buffer until
// the server's thread takes it for the connection. A client that leaves
// more unread than the bound is dropped: one slow reader costs the bridge
// no more than its share of memory. The server wakes the connection when
// text arrives, so an idle stream costs no CPU.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_STREAM_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_STREAM_H

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

class HttpStream {
public:
    explicit HttpStream(size_t mostPendingBytes) : mostPendingBytes_(mostPendingBytes) {}
    HttpStream(const HttpStream&) = delete;
    HttpStream& operator=(const HttpStream&) = delete;

    // Queues text for the client (whole events, "id: 5\ndata: ...\n\n").
    // False when the stream is closed, or now closes because the client
    // has not taken what was queued before: it is dropped.
    bool Send(const std::string& text);
    // The stream ends once what is queued has gone to the client.
    void End();
    // The client went away, was dropped, or the stream ended.
    bool Closed() const;
    // Called once when the stream is over for any reason, on the server's
    // thread; at once if it is over already.
    void OnClose(std::function<void()> callback);

    // The server's side.
    enum class Step { kData, kWait, kEnd, kDrop };
    // Up to `room` bytes of what is queued into `buffer`. kWait: nothing is
    // queued; `suspend` is called before any Send can wake the stream, and
    // the next Send or End calls the wake set by SetWake.
    Step Take(char* buffer, size_t room, size_t* taken, const std::function<void()>& suspend);
    void SetWake(std::function<void()> wake);
    // The connection is gone: later Sends are refused, OnClose's callback runs.
    void Finish();

private:
    // Wakes the connection if it waits; `lock` is released first.
    void WakeIfWaiting(std::unique_lock<std::mutex>* lock);

    const size_t mostPendingBytes_;
    mutable std::mutex mutex_;
    std::string pending_;
    size_t sent_ = 0;  // bytes of pending_ already taken
    bool waiting_ = false;
    bool ending_ = false;
    bool dropped_ = false;
    bool finished_ = false;
    std::function<void()> wake_;
    std::function<void()> onClose_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_STREAM_H
