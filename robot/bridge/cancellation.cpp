#include "orvanta/robot/cancellation.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace orvanta {

bool is_cancellation(const std::exception& e) noexcept {
  const auto* system_error = dynamic_cast<const boost::system::system_error*>(&e);
  if (system_error == nullptr) return false;
  const auto& code = system_error->code();
  return code == boost::asio::error::operation_aborted || code == boost::system::errc::operation_canceled;
}

}  // namespace orvanta
