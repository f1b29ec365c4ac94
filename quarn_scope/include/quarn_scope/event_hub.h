#ifndef QUARN_SCOPE_EVENT_HUB_H
#define QUARN_SCOPE_EVENT_HUB_H

// Fan-out of server-sent events from the ROS callbacks to every open page. The hub keeps the last `capacity`
// events; a stream that falls further behind skips to the oldest kept one, so a slow page loses points instead
// of lagging more and more. Sticky events (the latest of a kind: configuration, diagnostics) go to each new
// stream first.
//
//   EventHub hub(256);
//   hub.post(sseEvent("state", "{...}"));          // ROS callback thread
//   std::uint64_t next = hub.start(text);           // stream thread: sticky events into text
//   next = hub.waitFrom(next, std::chrono::seconds(1), text);

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace quarn
{
namespace scope
{

/// One server-sent event: "event: <name>\ndata: <data>\n\n"; data must hold no line end.
inline std::string sseEvent(const std::string& name, const std::string& data)
{
  return "event: " + name + "\ndata: " + data + "\n\n";
}

/// Bounded, thread-safe event queue read by any number of streams, each at its own position.
class EventHub
{
public:
  /// capacity: events kept for streams that are behind, at least 1.
  explicit EventHub(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

  /// Queues event for every stream, dropping the oldest beyond the capacity.
  void post(const std::string& event)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
      if (events_.size() > capacity_)
      {
        events_.pop_front();
        ++first_;
      }
    }
    changed_.notify_all();
  }

  /// Keeps event as the latest of its kind for new streams, and posts it.
  void postSticky(const std::string& kind, const std::string& event)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sticky_[kind] = event;
    }
    post(event);
  }

  /// Appends the sticky events to out; returns the position of the next event a new stream reads.
  std::uint64_t start(std::string& out) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& kindEvent : sticky_)
      out += kindEvent.second;
    return first_ + events_.size();
  }

  /// Waits up to timeout for events at or after next, appends them to out and returns the position after them.
  /// Events dropped before this stream read them are skipped. Returns at once after close().
  std::uint64_t waitFrom(std::uint64_t next, std::chrono::milliseconds timeout, std::string& out)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || first_ + events_.size() > next; });
    if (next < first_)
      next = first_;
    for (std::uint64_t i = next - first_; i < events_.size(); ++i)
      out += events_[i];
    return first_ + events_.size();
  }

  /// Wakes every waiting stream for good: the server is stopping.
  void close()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  /// Whether close() was called.
  bool closed() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> events_;
  std::uint64_t first_ = 0;  // position of events_.front()
  std::map<std::string, std::string> sticky_;
  bool closed_ = false;
};

}  // namespace scope
}  // namespace quarn

#endif  // QUARN_SCOPE_EVENT_HUB_H
