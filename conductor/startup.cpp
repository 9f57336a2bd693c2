// Start-up and handler registration.

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/timers.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "robot_operations.hpp"

namespace orvanta::conductor {

namespace {

// One day, the interval of the store's clean-up.
constexpr double kCleanupInterval = 86400;

}  // namespace

void init(InitOptions options) {
  robot::run_in_root();
  const auto path = store_path();
  config.db.set(sqlite::open_message_db(os::utf8_of(path)));
  if (!options.keep_messages) redeal_data();
  auto wx = platform.wxauto.get()->MakeWeChat();
  config.wx.set(wx);
  config.my_wxName.set(wx->nickname());
  platform.wxauto.get()->Param().FORCE_MESSAGE_XBIAS = true;

  boost::asio::io_context* loop = running_loop_or_null();
  if (loop == nullptr)
    throw std::runtime_error(
        "no running event loop: init schedules the daily clean-up on the loop the calling thread runs");
  // Nothing can cancel this task (no cancellation slot is bound to it): any
  // error that ends it is a failure and is reported.
  boost::asio::co_spawn(*loop, robot::fetch_periodically3(kCleanupInterval), [](std::exception_ptr error) {
    if (error) log_exception("fetch_periodically3 ended", error);
  });
}

void redeal_data() {
  robot::clear_table("messages");
}

std::string get_wx_name() {
  return config.my_wxName.get();
}

void set_deal_group_msg(std::function<robot::GroupMsgHandler> fun) {
  robot::deal_group_msg = std::move(fun);
}

void set_deal_private_msg(std::function<robot::PrivateMsgHandler> fun) {
  robot::deal_private_msg = std::move(fun);
}

void set_group_increase_func(std::function<robot::GroupIncreaseHandler> fun) {
  robot::group_increase_func = std::move(fun);
}

void set_message_recall_func(std::function<robot::MessageRecallHandler> fun) {
  robot::handle_message_recall = std::move(fun);
}

void set_gap_func(std::function<robot::GapHandler> fun) {
  robot::report_gap = std::move(fun);
}

}  // namespace orvanta::conductor
