#include "platform/system/MessageQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/core/Errors.h"

namespace tarvo::platform {

using Clock = std::chrono::steady_clock;

namespace {

// How often a waiting UI thread looks at a condition that nobody announces
// with Wake(): short enough that a finished worker is noticed at once to a
// user, long enough to cost nothing.
constexpr auto kPollSlice = std::chrono::milliseconds(5);

struct SentItem {
  enum class Status { Pending, Running, Done, Failed };
  Message msg;
  Status status = Status::Pending;
  std::uint32_t error = 0;
  std::intptr_t result = 0;
  std::exception_ptr exception;
};

std::optional<Clock::time_point> DeadlineAfter(std::uint32_t timeoutMs) {
  if (timeoutMs == kInfinite) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// The next moment a waiting loop wakes: a poll slice later, but not past the deadline.
Clock::time_point NextSlice(const std::optional<Clock::time_point>& deadline) {
  const auto slice = Clock::now() + kPollSlice;
  return deadline ? std::min(slice, *deadline) : slice;
}

bool Expired(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

}  // namespace

struct MessageQueue::State {
  mutable std::mutex m;
  std::condition_variable uiCv;      // the UI thread waits for work or a Wake
  std::condition_variable senderCv;  // senders wait for their answer
  std::thread::id uiThread;
  bool shutdown = false;
  std::uint64_t wakes = 0;
  WindowHandle nextHandle = 0x10000;
  std::map<WindowHandle, std::shared_ptr<const MessageHandler>> targets;
  std::deque<Message> posted;
  std::deque<std::shared_ptr<SentItem>> sent;

  // Fails pending sent messages that match, under the lock.
  template <typename Pred>
  void FailSent(Pred pred, std::uint32_t error) {
    for (auto it = sent.begin(); it != sent.end();) {
      if (pred(**it)) {
        (*it)->status = SentItem::Status::Failed;
        (*it)->error = error;
        it = sent.erase(it);
      } else {
        ++it;
      }
    }
    senderCv.notify_all();
  }
};

MessageQueue::MessageQueue() : fState(std::make_shared<State>()) {
  fState->uiThread = std::this_thread::get_id();
}

MessageQueue::~MessageQueue() {
  Shutdown();
}

MessageQueue& MessageQueue::UI() {
  // Never destroyed: libraries may still post from their own teardown.
  static MessageQueue* queue = new MessageQueue();
  return *queue;
}

void MessageQueue::BindToCurrentThread() {
  std::lock_guard lock(fState->m);
  fState->uiThread = std::this_thread::get_id();
}

bool MessageQueue::IsUIThread() const {
  std::lock_guard lock(fState->m);
  return fState->uiThread == std::this_thread::get_id();
}

void MessageQueue::RequireUIThread(const char* what) const {
  if (!IsUIThread())
    throw std::logic_error(std::string("MessageQueue::") + what + " called outside the UI thread");
}

// --- targets -------------------------------------------------------------------------

WindowHandle MessageQueue::Register(MessageHandler handler) {
  if (!handler) throw std::invalid_argument("MessageQueue::Register: empty handler");
  std::lock_guard lock(fState->m);
  const WindowHandle h = fState->nextHandle++;
  fState->targets.emplace(h, std::make_shared<const MessageHandler>(std::move(handler)));
  return h;
}

std::vector<Message> MessageQueue::Unregister(WindowHandle target) {
  std::vector<Message> dropped;
  std::lock_guard lock(fState->m);
  if (fState->targets.erase(target) == 0) return dropped;
  auto& posted = fState->posted;
  for (auto it = posted.begin(); it != posted.end();) {
    if (it->target == target) {
      dropped.push_back(*it);
      it = posted.erase(it);
    } else {
      ++it;
    }
  }
  fState->FailSent([target](const SentItem& s) { return s.msg.target == target; },
                   ERROR_INVALID_HANDLE);
  return dropped;
}

bool MessageQueue::IsRegistered(WindowHandle target) const {
  std::lock_guard lock(fState->m);
  return fState->targets.contains(target);
}

// --- delivery ------------------------------------------------------------------------

bool MessageQueue::Post(WindowHandle target, std::uint32_t message, std::uintptr_t wParam,
                        std::intptr_t lParam) {
  std::lock_guard lock(fState->m);
  if (fState->shutdown) {
    SetLastError(ERROR_CANCELLED);
    return false;
  }
  if (!fState->targets.contains(target)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  fState->posted.push_back({target, message, wParam, lParam});
  fState->uiCv.notify_all();
  return true;
}

std::optional<std::intptr_t> MessageQueue::Send(WindowHandle target, std::uint32_t message,
                                                std::uintptr_t wParam, std::intptr_t lParam,
                                                std::uint32_t timeoutMs) {
  // Keep the state alive while waiting, whatever happens to the queue object.
  const std::shared_ptr<State> state = fState;
  std::unique_lock lock(state->m);
  if (state->shutdown) {
    SetLastError(ERROR_CANCELLED);
    return std::nullopt;
  }
  auto handler = state->targets.find(target);
  if (handler == state->targets.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }

  if (state->uiThread == std::this_thread::get_id()) {
    auto h = handler->second;
    lock.unlock();
    return (*h)(message, wParam, lParam);
  }

  auto item = std::make_shared<SentItem>();
  item->msg = {target, message, wParam, lParam};
  state->sent.push_back(item);
  state->uiCv.notify_all();

  const auto deadline = DeadlineAfter(timeoutMs);
  auto finished = [&] {
    return item->status == SentItem::Status::Done || item->status == SentItem::Status::Failed;
  };
  for (;;) {
    if (finished()) break;
    if (!deadline || item->status == SentItem::Status::Running) {
      state->senderCv.wait(lock);
      continue;
    }
    if (state->senderCv.wait_until(lock, *deadline) == std::cv_status::timeout &&
        item->status == SentItem::Status::Pending) {
      std::erase(state->sent, item);
      SetLastError(ERROR_TIMEOUT);
      return std::nullopt;
    }
  }
  if (item->status == SentItem::Status::Failed) {
    SetLastError(item->error);
    return std::nullopt;
  }
  // Take the handler's exception out of the shared item, so that it ends its
  // life on this thread whichever thread drops the item last.
  if (std::exception_ptr error = std::move(item->exception)) {
    lock.unlock();
    std::rethrow_exception(error);
  }
  return item->result;
}

void MessageQueue::Wake() {
  std::lock_guard lock(fState->m);
  ++fState->wakes;
  fState->uiCv.notify_all();
}

std::vector<Message> MessageQueue::Shutdown() {
  std::lock_guard lock(fState->m);
  fState->shutdown = true;
  fState->FailSent([](const SentItem&) { return true; }, ERROR_CANCELLED);
  std::vector<Message> dropped(fState->posted.begin(), fState->posted.end());
  fState->posted.clear();
  fState->uiCv.notify_all();
  return dropped;
}

bool MessageQueue::IsShutDown() const {
  std::lock_guard lock(fState->m);
  return fState->shutdown;
}

// --- pumps ---------------------------------------------------------------------------

bool MessageQueue::HandleOneSent() {
  std::shared_ptr<SentItem> item;
  std::shared_ptr<const MessageHandler> handler;
  {
    std::lock_guard lock(fState->m);
    if (fState->sent.empty()) return false;
    item = fState->sent.front();
    fState->sent.pop_front();
    auto it = fState->targets.find(item->msg.target);
    if (it == fState->targets.end()) {
      item->status = SentItem::Status::Failed;
      item->error = ERROR_INVALID_HANDLE;
      fState->senderCv.notify_all();
      return true;
    }
    handler = it->second;
    item->status = SentItem::Status::Running;
  }
  std::intptr_t result = 0;
  std::exception_ptr error;
  try {
    result = (*handler)(item->msg.message, item->msg.wParam, item->msg.lParam);
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard lock(fState->m);
  item->result = result;
  item->exception = std::move(error);  // the sender alone holds it from now on
  item->status = SentItem::Status::Done;
  fState->senderCv.notify_all();
  return true;
}

bool MessageQueue::HandleOnePosted() {
  Message msg;
  std::shared_ptr<const MessageHandler> handler;
  {
    std::lock_guard lock(fState->m);
    if (fState->posted.empty()) return false;
    msg = fState->posted.front();
    fState->posted.pop_front();
    auto it = fState->targets.find(msg.target);
    if (it == fState->targets.end()) return true;  // cannot happen: Unregister drops them
    handler = it->second;
  }
  (*handler)(msg.message, msg.wParam, msg.lParam);
  return true;
}

std::size_t MessageQueue::ProcessMessages() {
  RequireUIThread("ProcessMessages");
  std::size_t handled = 0;
  std::size_t postedNow = 0;
  {
    std::lock_guard lock(fState->m);
    postedNow = fState->posted.size();
  }
  for (;;) {
    while (HandleOneSent()) ++handled;
    if (postedNow == 0 || !HandleOnePosted()) break;
    --postedNow;
    ++handled;
  }
  return handled;
}

std::size_t MessageQueue::ProcessSentMessages() {
  RequireUIThread("ProcessSentMessages");
  std::size_t handled = 0;
  while (HandleOneSent()) ++handled;
  return handled;
}

bool MessageQueue::PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs) {
  RequireUIThread("PumpUntil");
  const auto deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (HandleOneSent() || HandleOnePosted()) continue;
    if (Expired(deadline)) return done();
    std::unique_lock lock(fState->m);
    const auto wakes = fState->wakes;
    fState->uiCv.wait_until(lock, NextSlice(deadline), [&] {
      return !fState->sent.empty() || !fState->posted.empty() || fState->wakes != wakes;
    });
  }
}

bool MessageQueue::WaitPumpingSent(const std::function<bool()>& done, std::uint32_t timeoutMs) {
  const bool ui = IsUIThread();
  const auto deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (ui && HandleOneSent()) continue;
    if (Expired(deadline)) return done();
    std::unique_lock lock(fState->m);
    const auto wakes = fState->wakes;
    fState->uiCv.wait_until(lock, NextSlice(deadline), [&] {
      return (ui && !fState->sent.empty()) || fState->wakes != wakes;
    });
  }
}

int MessageQueue::WaitForEvents(std::span<Event* const> events, std::uint32_t timeoutMs) {
  if (!IsUIThread()) return Event::WaitAny(events, timeoutMs);
  if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  int hit = -1;
  WaitPumpingSent(
      [&] {
        for (std::size_t i = 0; i < events.size(); ++i) {
          if (events[i]->TryWait()) {
            hit = static_cast<int>(i);
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  if (hit < 0) SetLastError(ERROR_TIMEOUT);
  return hit;
}

WaitResult MessageQueue::WaitForMutex(NamedMutex& mutex, std::uint32_t timeoutMs) {
  if (!IsUIThread()) return mutex.Wait(timeoutMs);
  const auto deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    std::uint32_t slice = static_cast<std::uint32_t>(kPollSlice.count());
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      slice = static_cast<std::uint32_t>(std::clamp<std::int64_t>(left.count(), 0, slice));
    }
    const WaitResult r = mutex.Wait(slice);
    if (r != WaitResult::Timeout) return r;
    ProcessSentMessages();
    if (Expired(deadline)) return WaitResult::Timeout;
  }
}

}  // namespace tarvo::platform
