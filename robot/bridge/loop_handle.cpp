#include "orvanta/robot/loop_handle.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "orvanta/robot/logger.hpp"

namespace orvanta {

namespace {

std::exception_ptr stopped_error() {
  return std::make_exception_ptr(LoopStopped("the event loop has stopped"));
}

}  // namespace

std::shared_ptr<LoopHandle> LoopHandle::make(std::shared_ptr<boost::asio::io_context> loop) {
  return std::shared_ptr<LoopHandle>(new LoopHandle(std::move(loop)));
}

LoopHandle::LoopHandle(std::shared_ptr<boost::asio::io_context> loop) : context_(loop.get()), loop_(std::move(loop)) {}

LoopHandle::~LoopHandle() {
  // Work still waiting when the last reference goes can never run.
  close();
}

bool LoopHandle::submit(std::unique_ptr<Work> work) {
  {
    std::lock_guard guard(mu_);
    if (!closed_) {
      inbox_.push_back(std::move(work));
      // One drain serves everything handed over until it runs, so a burst
      // of submissions costs the loop one wake-up, not one per piece of
      // work. It is posted under the lock, so the loop cannot be let go of
      // (and destroyed) in between. The drain holds the handle weakly: the
      // loop's queue must not keep the handle alive. A handle that is gone
      // has failed its waiting work in its destructor.
      if (!drain_posted_) {
        drain_posted_ = true;
        boost::asio::post(*loop_, [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->drain();
        });
      }
      return true;
    }
  }
  work->fail(stopped_error());
  return false;
}

void LoopHandle::drain() {
  std::deque<std::unique_ptr<Work>> batch;
  {
    std::lock_guard guard(mu_);
    batch.swap(inbox_);
    drain_posted_ = false;
  }
  for (auto& work : batch) {
    try {
      work->run();
    } catch (...) {
      log_exception("[robot] loop work failed");
    }
  }
}

void LoopHandle::close() {
  std::deque<std::unique_ptr<Work>> left;
  std::shared_ptr<boost::asio::io_context> loop;
  {
    std::lock_guard guard(mu_);
    closed_ = true;
    left.swap(inbox_);
    loop.swap(loop_);
  }
  for (auto& work : left) work->fail(stopped_error());
}

bool LoopHandle::closed() const {
  std::lock_guard guard(mu_);
  return closed_;
}

}  // namespace orvanta
