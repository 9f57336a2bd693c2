#pragma once

// Cancellation of an asynchronous task is not an ordinary error, and whether
// a task was cancelled is a question about the task, not about an error.
//
// Asio ends a cancelled task with boost::system::system_error
// (operation_aborted), but the same error also comes out of work whose own
// operation was aborted while the task itself goes on (a socket closed under
// it by someone else, a timer another party cancelled). So a task that caught
// an error asks its own cancellation state whether it was asked to stop:
//
//   std::exception_ptr failure;
//   try {
//     co_await work();
//   } catch (const std::exception&) {
//     failure = std::current_exception();
//   }
//   if (failure) {
//     rethrow_if_cancelled(co_await boost::asio::this_coro::cancellation_state, failure);
//     report(failure);  // an ordinary failure, also an operation_aborted one
//   }
//
// The question is asked after the catch block because C++ does not allow
// co_await inside one. Awaiting this_coro::cancellation_state never throws,
// even in a task that has been cancelled.

#include <exception>

#include <boost/asio/cancellation_state.hpp>

#include "orvanta/robot/export.hpp"

namespace orvanta {

// Whether the task whose cancellation state is `state` has been asked to stop
// (by a cancellation of any type that its filter let through).
ORVANTA_ROBOT_EXPORT bool task_cancelled(const boost::asio::cancellation_state& state) noexcept;

// Rethrows `failure` when the task whose state is `state` has been asked to
// stop, so that the task ends with what its work ended with; returns
// otherwise, and the caller treats `failure` as an ordinary failure.
// REQUIRES: failure is not null.
ORVANTA_ROBOT_EXPORT void rethrow_if_cancelled(const boost::asio::cancellation_state& state,
                                               const std::exception_ptr& failure);

}  // namespace orvanta
