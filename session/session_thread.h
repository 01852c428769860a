// TSessionThread: an owner thread of its own, for port sessions that run off the GUI
// thread (scripts, automation). It owns an owner-call queue and sleeps until a port's
// worker, Run or Post queues a call.
//
//   session::TSessionThread thread("veltra-script");
//   std::unique_ptr<session::TPortSession> port;
//   thread.Run([&] { port = std::make_unique<session::TPortSession>(thread.Calls(), ...); });
//   thread.Run([&] { port->Send("hello"); });
//   thread.Run([&] { port.reset(); });  // sessions end on the thread that owns them
//
// Code that already runs on the thread (a block observer, a script engine started by
// Run) waits for received bytes with WaitUntil, which serves the ports meanwhile.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/owner_calls.h"

namespace veltra::session {

class TSessionThread {
 public:
  explicit TSessionThread(std::string name = "veltra-session");
  // Stops and joins the thread. Sessions made on it must be gone by then.
  ~TSessionThread();
  TSessionThread(const TSessionThread&) = delete;
  TSessionThread& operator=(const TSessionThread&) = delete;

  // The queue the thread owns: give it to the sessions made on the thread.
  engine::TOwnerCallQueue& Calls() { return *calls_; }
  bool IsCurrent() const { return calls_->IsOwnerThread(); }

  // Runs fn on the thread and waits until it has returned; an exception it throws is
  // thrown again here. On the thread itself fn runs at once.
  void Run(const std::function<void()>& fn) { calls_->Synchronize(fn); }
  // Queues fn for the thread without waiting.
  void Post(std::function<void()> fn) { calls_->Queue(std::move(fn)); }
  // On the thread: serves the ports until pred() holds or the time is up; returns pred().
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return calls_->PumpUntil(pred, timeout);
  }

 private:
  void Loop(std::string name);

  std::unique_ptr<engine::TOwnerCallQueue> calls_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  bool stop_ = false;
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace veltra::session
