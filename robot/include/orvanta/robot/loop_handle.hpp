#pragma once

// A handle on an event loop that some other thread runs (the listening
// thread's loop, `config.wx_task_loop`). Any thread hands work to the loop
// through it; the work runs on the loop's thread, in the order it was handed
// over. Once the loop has stopped, work is refused: each piece of work either
// runs on the loop or has its failure path called, exactly once, so nothing
// handed to a dead loop vanishes without its waiter learning of it.
//
// Rules:
// - submit() may be called from any thread, also after close().
// - close() is called once the loop will run no more handed-over work (the
//   thread that ran it calls it after the loop's run has returned). It fails
//   the work still waiting, and every later submit() fails its work at once.
//   It also lets go of the loop, so that the thread that ran it can destroy
//   it there, with whatever it still holds.
// - Work runs on the loop's thread; a failure path runs on whichever thread
//   learned of the failure (the submitter's, or the one calling close()).

#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "orvanta/robot/export.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta {

class ORVANTA_ROBOT_EXPORT LoopHandle : public std::enable_shared_from_this<LoopHandle> {
 public:
  // A piece of work for the loop.
  class Work {
   public:
    virtual ~Work() = default;
    // Runs on the loop's thread.
    virtual void run() = 0;
    // Called instead of run() when the loop has stopped before running it.
    virtual void fail(std::exception_ptr error) noexcept = 0;
  };

  // A handle on `loop`, open until close().
  static std::shared_ptr<LoopHandle> make(std::shared_ptr<boost::asio::io_context> loop);

  LoopHandle(const LoopHandle&) = delete;
  LoopHandle& operator=(const LoopHandle&) = delete;
  ~LoopHandle();

  // Hands `work` to the loop and returns true; or, once the handle is closed,
  // calls work->fail() at once on this thread and returns false.
  bool submit(std::unique_ptr<Work> work);

  // The same for a pair of callables: `run()` on the loop, or
  // `fail(std::exception_ptr)` when the loop has stopped.
  template <class Run, class Fail>
  bool post(Run run, Fail fail) {
    struct Pair final : Work {
      Pair(Run r, Fail f) : run_(std::move(r)), fail_(std::move(f)) {}
      void run() override { run_(); }
      void fail(std::exception_ptr error) noexcept override { fail_(std::move(error)); }
      Run run_;
      Fail fail_;
    };
    return submit(std::make_unique<Pair>(std::move(run), std::move(fail)));
  }

  // Refuses all later work and fails the work not yet run.
  void close();
  bool closed() const;

  // The loop itself, for the thread that runs it, while it keeps the loop.
  // After close() only its address may be compared.
  boost::asio::io_context& context() const { return *context_; }

 private:
  explicit LoopHandle(std::shared_ptr<boost::asio::io_context> loop);
  // Runs on the loop: takes what has been handed over so far and runs it.
  void drain();

  boost::asio::io_context* context_;
  mutable std::mutex mu_;
  // The loop, until close() (guarded by mu_).
  std::shared_ptr<boost::asio::io_context> loop_;
  // Work handed over and not yet taken by the loop (guarded by mu_).
  std::deque<std::unique_ptr<Work>> inbox_;
  // Whether a drain is posted to the loop and has not yet taken the inbox.
  bool drain_posted_ = false;
  bool closed_ = false;
};

// The error a failure path receives when the loop had stopped.
class ORVANTA_ROBOT_EXPORT LoopStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace orvanta
