#include "orvanta/robot/cancellation.hpp"

namespace orvanta {

bool task_cancelled(const boost::asio::cancellation_state& state) noexcept {
  return state.cancelled() != boost::asio::cancellation_type::none;
}

void rethrow_if_cancelled(const boost::asio::cancellation_state& state, const std::exception_ptr& failure) {
  if (task_cancelled(state)) std::rethrow_exception(failure);
}

}  // namespace orvanta
