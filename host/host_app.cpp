// The main job. This file and conductor_calls.cpp are the only places that
// call into the conductor library and the task bridge.

#include "host_app.hpp"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "client_actions.hpp"
#include "client_recovery.hpp"
#include "counting_driver.hpp"
#include "event_feed.hpp"
#include "event_reporter.hpp"
#include "local_http.hpp"
#include "log_failure.hpp"
#include "orvanta/conductor/conductor.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/group_list_server.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "outbox.hpp"
#include "pacer.hpp"
#include "printable.hpp"
#include "server_protocol.hpp"
#include "status_board.hpp"
#include "status_page.hpp"
#include "ws_link.hpp"

#ifndef ORVANTA_DEFAULT_SCENARIO
#define ORVANTA_DEFAULT_SCENARIO "examples/scenario.json"
#endif

namespace orvanta::host {

namespace asio = boost::asio;

namespace {

// Back-off of listening restarts, in seconds of clock time.
constexpr double kFirstRestartDelay = 1.0;
constexpr double kLastRestartDelay = 60.0;
// How long, in seconds of clock time, a restart waits for the client to
// come back online after a login was started.
constexpr double kLoginWait = 60.0;
// How often the supervisor looks at the listening thread.
constexpr double kSupervisionInterval = 1.0;
// How long, in seconds of clock time, the demo waits at its end for the
// server to take the events still in the outbox.
constexpr double kOutboxDrainWait = 120.0;
// Idle cycles after the scenario's last event before the demo counts as
// caught up.
constexpr std::uint64_t kCaughtUpIdleCycles = 2;

double clock_seconds() {
  return std::chrono::duration<double>(timing::MonotonicClock::now().time_since_epoch()).count();
}

void setup_logging(const RunOptions& o) {
  std::shared_ptr<spdlog::logger> log;
  if (o.log_file) {
    log = spdlog::basic_logger_mt(kLoggerName, *o.log_file);
  } else {
    log = spdlog::stderr_logger_mt(kLoggerName);
  }
  log->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
  log->set_level(spdlog::level::from_str(o.log_level));
  log->flush_on(spdlog::level::info);
}

std::filesystem::path default_scenario(const char* argv0_dir) {
  // Installed: <prefix>/bin/orvanta and <prefix>/share/orvanta/scenario.json.
  std::filesystem::path installed = std::filesystem::path(argv0_dir) / ".." / "share" / "orvanta" / "scenario.json";
  if (std::filesystem::exists(installed)) return installed;
  return ORVANTA_DEFAULT_SCENARIO;
}

// `what` names the file in errors ("scenario", "group list").
Json read_json_file(const std::string& path, const std::string& what) {
  std::ifstream in(path);
  if (!in) throw OSError("cannot read the " + what + " " + path);
  std::stringstream text;
  text << in.rdbuf();
  try {
    return Json::parse(text.str());
  } catch (const Json::exception& e) {
    throw ValueError("the " + what + " " + path + " is not JSON: " + e.what());
  }
}

}  // namespace

// Everything the main job holds while it runs. Lives on run_host's stack;
// the loop's tasks refer to it until the loop has finished.
class Host {
 public:
  Host(const RunOptions& o, std::chrono::steady_clock::time_point start) : options_(o), process_start_(start) {}
  // The process-wide slots and shared state must not keep the host's objects
  // beyond it (they go with the libraries at exit, after the loop is gone).
  ~Host() {
    robot::reply.set(nullptr);
    config.ws_client.reset();
    conductor::set_deal_group_msg(robot::default_deal_group_msg);
    conductor::set_deal_private_msg(robot::default_deal_private_msg);
    conductor::set_group_increase_func(robot::default_group_increase_func);
    conductor::set_message_recall_func(robot::default_handle_message_recall);
    conductor::set_gap_func(robot::default_report_gap);
    conductor::start_listening_group_members(conductor::default_deal_group_members);
    {
      std::lock_guard guard(list_mu_);
      list_stop_ = true;
    }
    list_cv_.notify_all();
    if (list_thread_.joinable()) list_thread_.join();
    if (!side_loop_.stopped()) side_loop_.stop();
    if (side_thread_.joinable()) side_thread_.join();
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  int run();

 private:
  void set_up_client();
  void set_up_group_list();
  void set_up_server_link();
  void install_handlers();
  void start_tasks();
  void request_stop(int exit_code, const std::string& why);
  void print_summary();
  std::string status_line() const;
  std::string metrics_text() const;
  std::optional<std::string> health_problem() const;
  // "ok", "degraded" or "unhealthy", and why when it is not ok.
  std::pair<std::string, std::string> health() const;
  HttpAnswer monitoring_answer(const std::string& target) const;
  // The status page's state, as JSON.
  Json status() const;
  void start_monitoring();

  // The group list: read again and again until one arrives, then refreshed
  // every --group-list-refresh seconds; on a thread of its own, since the
  // read blocks.
  void refresh_group_list();
  bool wait_or_stop(double clock_seconds);
  std::optional<std::string> degradation() const;

  asio::awaitable<void> supervise();
  asio::awaitable<void> report_status();
  asio::awaitable<void> watch_demo();
  asio::awaitable<void> play_scripted_requests();
  asio::awaitable<void> finish();

  const RunOptions& options_;
  const std::chrono::steady_clock::time_point process_start_;
  asio::io_context loop_;
  asio::io_context side_loop_;
  std::thread side_thread_;

  Json scenario_;
  std::shared_ptr<sim::SimClient> sim_;
  std::shared_ptr<DriverCounts> driver_counts_ = std::make_shared<DriverCounts>();
  std::unique_ptr<sim::GroupListServer> group_list_server_;
  std::unique_ptr<LocalHttpServer> group_list_http_;
  std::unique_ptr<LocalHttpServer> monitoring_http_;

  std::shared_ptr<Outbox> outbox_;
  std::shared_ptr<WsLink> link_;
  std::shared_ptr<EventFeed> feed_;
  std::shared_ptr<Pacer> pacer_;
  std::shared_ptr<ServerProtocol> protocol_;
  std::shared_ptr<EventReporter> reporter_;
  std::shared_ptr<StatusBoard> board_ = std::make_shared<StatusBoard>();
  std::shared_ptr<std::atomic<std::uint64_t>> idle_cycles_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  std::shared_ptr<std::atomic<std::uint64_t>> tasks_ = std::make_shared<std::atomic<std::uint64_t>>(0);

  double started_at_ = 0;
  bool script_done_ = true;
  bool stopping_ = false;
  int exit_code_ = kExitOk;
  std::uint64_t restarts_ = 0;
  bool listening_up_ = false;
  std::string last_failure_;
  std::int64_t started_ms_ = wall_clock_ms();
  bool link_up_ = false;
  std::int64_t link_since_ms_ = wall_clock_ms();

  std::thread list_thread_;
  mutable std::mutex list_mu_;
  std::condition_variable list_cv_;
  bool list_stop_ = false;    // guarded by list_mu_
  bool list_known_ = false;   // guarded by list_mu_
  std::string list_failure_;  // guarded by list_mu_: the last read's failure, "" after a good one
};

bool Host::wait_or_stop(double seconds) {
  const auto real = std::chrono::duration<double>(seconds / timing::scale());
  std::unique_lock lock(list_mu_);
  return !list_cv_.wait_for(lock, real, [this] { return list_stop_; });
}

void Host::refresh_group_list() {
  double delay = kFirstRestartDelay;
  for (;;) {
    std::string failure;
    std::vector<std::string> names;
    try {
      const Json answer = Json::parse(robot::http_get(config.get_listening_group_url.get() + conductor::get_wx_name()));
      const auto code = answer.find("code");
      if (code == answer.end() || !code->is_number() || *code != Json(200))
        throw ValueError("the answer's \"code\" is not 200");
      for (const Json& entry : answer.at("data")) names.push_back(entry.at("name").get<std::string>());
    } catch (const std::exception& e) {
      failure = e.what();
    }
    bool known = false;
    {
      std::lock_guard guard(list_mu_);
      if (failure.empty()) list_known_ = true;
      list_failure_ = failure;
      known = list_known_;
    }
    double wait = options_.group_list_refresh;
    if (failure.empty()) {
      if (names != config.groupName_list.value_or({})) {
        logger()->info("group list: {} group(s)", names.size());
        config.groupName_list.set(names);
      }
      delay = kFirstRestartDelay;
    } else if (!known) {
      // No list yet: nothing is listened to until one arrives.
      wait = delay;
      delay = std::min(delay * 2, kLastRestartDelay);
      logger()->warn("reading the group list failed ({}); next try in {} s", printable(failure), wait);
    } else {
      logger()->warn("refreshing the group list failed ({}); keeping the last one, next try in {} s",
                     printable(failure), wait);
    }
    if (!wait_or_stop(wait)) return;
  }
}

std::optional<std::string> Host::degradation() const {
  std::lock_guard guard(list_mu_);
  if (!list_known_) return "no group list yet" + (list_failure_.empty() ? "" : ": " + printable(list_failure_));
  if (!list_failure_.empty()) return "the last refresh of the group list failed: " + printable(list_failure_);
  return std::nullopt;
}

void Host::set_up_client() {
  const std::string scenario_path =
      options_.scenario.empty() ? default_scenario(options_.program_dir.c_str()).string() : options_.scenario;
  scenario_ = read_json_file(scenario_path, "scenario");
  sim_ = sim::make_sim_client();
  try {
    sim_->load_scenario(scenario_, std::filesystem::path(scenario_path).filename().string());
  } catch (const std::exception& e) {
    throw ValueError("the scenario " + scenario_path + " is not usable: " + e.what());
  }
  sim_->bind_platform();
  driver_counts_->on_read = [board = board_](const std::string& chat) { board->chat_read(chat); };
  platform.wxauto.set(make_counting_driver(platform.wxauto.get(), driver_counts_));
  started_at_ = clock_seconds();
  script_done_ = !scenario_.contains("server");
  logger()->info("simulated client playing {}", scenario_path);
}

void Host::set_up_group_list() {
  if (options_.group_list_url) {
    config.get_listening_group_url.set(*options_.group_list_url);
    return;
  }
  if (!options_.group_list_file) {
    // The scenario's own list, as a server would give it.
    group_list_server_ = std::make_unique<sim::GroupListServer>(sim_);
    config.get_listening_group_url.set(group_list_server_->url());
    logger()->info("group list served at {}", group_list_server_->url());
    return;
  }
  const std::string body = read_json_file(*options_.group_list_file, "group list").dump();
  // The history synchronisation reads the list from the host's thread while
  // that thread's loop is not running, so the list is served from a loop and
  // thread of its own.
  group_list_http_ = std::make_unique<LocalHttpServer>(side_loop_, 0, [body](const std::string& target) {
    if (target.rfind("/listening_groups/", 0) != 0) return HttpAnswer{};
    return HttpAnswer{200, "application/json", body};
  });
  group_list_http_->start();
  side_thread_ = std::thread([this] { side_loop_.run(); });
  config.get_listening_group_url.set(group_list_http_->base_url() + "/listening_groups/");
  logger()->info("group list from {} served at {}", *options_.group_list_file, group_list_http_->base_url());
}

void Host::set_up_server_link() {
  pacer_ = std::make_shared<Pacer>(loop_, options_.pacing);
  ServerProtocol::Publish publish = [](const std::string& id, const Json& record) {
    print_line(fmt::format("orvanta: answer {} {}", id, record.dump(-1, ' ', false, Json::error_handler_t::replace)));
  };
  if (options_.server_url) {
    outbox_ = std::make_shared<Outbox>(conductor::store_path().string(), options_.outbox_limit);
    WsLinkOptions link_options;
    link_options.url = *options_.server_url;
    link_options.extra_ca_file = options_.server_ca_file;
    link_ = std::make_shared<WsLink>(
        loop_, link_options, [this](std::string text) { protocol_->on_frame(text); },
        [this](bool up) {
          feed_->link_state(up);
          if (up != link_up_) link_since_ms_ = wall_clock_ms();
          link_up_ = up;
        });
    feed_ = std::make_shared<EventFeed>(loop_, outbox_, link_);
    config.ws_client.set(link_);
    publish = [feed = feed_](const std::string&, const Json& record) {
      // Answers to the server's requests go before chat events when the
      // outbox must drop.
      const std::string event = record.value("event", "");
      const bool answer = event == "member_list" || event == "img_md5" || event == "request_result";
      feed->publish(record, answer ? EventKind::kAnswer : EventKind::kChat);
    };
    if (outbox_->size() > 0) logger()->info("{} events from an earlier run wait for the server", outbox_->size());
  }
  ClientActions actions = bridge_actions();
  // Count what reaches the task bridge.
  auto tasks = tasks_;
  auto send_text = actions.send_text;
  actions.send_text = [tasks, send_text](std::string c, std::string w, std::optional<std::string> at) {
    ++*tasks;
    send_text(std::move(c), std::move(w), std::move(at));
  };
  auto send_private = actions.send_private;
  actions.send_private = [tasks, send_private](std::string c, std::string w) {
    ++*tasks;
    send_private(std::move(c), std::move(w));
  };
  auto quote = actions.reply_with_quote;
  actions.reply_with_quote = [tasks, quote](std::string id, std::string t, std::string c,
                                            std::optional<std::string> at) {
    ++*tasks;
    quote(std::move(id), std::move(t), std::move(c), std::move(at));
  };
  auto members = actions.member_list;
  actions.member_list = [tasks, members](std::string chat) {
    ++*tasks;
    return members(std::move(chat));
  };
  auto md5 = actions.img_md5;
  actions.img_md5 = [tasks, md5](std::string content) {
    ++*tasks;
    return md5(std::move(content));
  };
  // The answers to requests show on the status page as well.
  ServerProtocol::Publish answer = [board = board_, publish](const std::string& id, const Json& record) {
    board->request_answer(record);
    publish(id, record);
  };
  protocol_ = std::make_shared<ServerProtocol>(
      loop_, actions, pacer_, answer,
      [this](const std::string& id) {
        if (feed_) feed_->acknowledge(id);
      },
      [](Json message) { return conductor::handle_server_message(std::move(message)); });
  robot::reply.set([protocol = protocol_](Json message) { protocol->reply(message); });
  // Events show on the status page, and go to the server when there is one.
  reporter_ = std::make_shared<EventReporter>([board = board_, publish = feed_ ? publish : EventReporter::Publish{}](
                                                  const std::string& id, const Json& record) {
    board->event(record);
    if (publish) publish(id, record);
  });
}

void Host::install_handlers() {
  auto r = reporter_;
  conductor::set_deal_group_msg([r](Message m) { return r->group_message(std::move(m)); });
  conductor::set_deal_private_msg(
      [r](std::string chat, std::string id) { return r->private_message(std::move(chat), std::move(id)); });
  conductor::set_group_increase_func(
      [r](std::string name, std::string group) { return r->member_joined(std::move(name), std::move(group)); });
  conductor::set_message_recall_func(
      [r](std::string id, std::string group) { return r->message_recalled(std::move(id), std::move(group)); });
  conductor::set_gap_func(
      [r](std::string chat, std::string reason) { return r->gap(std::move(chat), std::move(reason)); });
  // The member watch: the host only counts idle cycles (it tells when the
  // demo has caught up).
  auto idle = idle_cycles_;
  conductor::start_listening_group_members([idle]() -> asio::awaitable<void> {
    ++*idle;
    co_return;
  });
}

void Host::start_tasks() {
  // Sends wait until the supervisor has seen listening run.
  pacer_->hold(true);
  pacer_->start();
  if (feed_) feed_->start();
  if (link_) link_->start();
  asio::co_spawn(loop_, supervise(), log_failure("supervising listening"));
  asio::co_spawn(loop_, report_status(), log_failure("the status line"));
  if (!script_done_) asio::co_spawn(loop_, play_scripted_requests(), log_failure("the scenario's server requests"));
  if (!options_.keep_running) asio::co_spawn(loop_, watch_demo(), log_failure("watching the demo"));
  if (options_.http_port >= 0) start_monitoring();
  list_thread_ = std::thread([this] { refresh_group_list(); });
  auto signals = std::make_shared<asio::signal_set>(loop_, SIGINT, SIGTERM);
  signals->async_wait([this, signals](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    request_stop(exit_code_, signal == SIGINT ? "interrupted (SIGINT)" : "terminated (SIGTERM)");
  });
}

asio::awaitable<void> Host::supervise() {
  double delay = kFirstRestartDelay;
  double up_since = clock_seconds();
  std::deque<double> failures;
  while (!stopping_) {
    co_await timing::async_sleep(kSupervisionInterval);
    if (stopping_) co_return;
    auto thread = conductor::current_listening_thread();
    if (thread && thread->running()) {
      listening_up_ = true;
      pacer_->hold(false);
      if (clock_seconds() - up_since >= options_.quiet_period) delay = kFirstRestartDelay;
      continue;
    }
    listening_up_ = false;
    // Nothing could carry a message out now: the sends wait.
    pacer_->hold(true);
    if (thread) thread->join();
    const auto error = thread ? thread->error() : nullptr;
    last_failure_ = !thread ? "listening never started" : error ? error_text(error) : "no error recorded";
    const double now = clock_seconds();
    failures.push_back(now);
    while (!failures.empty() && failures.front() < now - options_.failure_window) failures.pop_front();
    if (static_cast<int>(failures.size()) >= options_.max_failures) {
      request_stop(kExitGaveUp, fmt::format("listening failed {} times within {} s (last: {}); giving up",
                                            failures.size(), options_.failure_window, last_failure_));
      co_return;
    }
    logger()->warn("listening ended ({}); starting it again in {} s", last_failure_, delay);
    print_line(fmt::format("orvanta: listening ended ({}); restarting in {} s", last_failure_, delay));
    co_await timing::async_sleep(delay);
    delay = std::min(delay * 2, kLastRestartDelay);
    if (stopping_) co_return;
    // Nothing drives the client now: the place to bring it back.
    const std::string recovery = recover_client();
    logger()->info("before restarting listening: {}", recovery);
    // A login takes a moment; listening started before it is done would only
    // fail again.
    for (double waited = 0; waited < kLoginWait && !client_online() && !stopping_; waited += kSupervisionInterval)
      co_await timing::async_sleep(kSupervisionInterval);
    if (stopping_) co_return;
    // A new listening thread and loop running run_listening_msg only: the
    // store's newest rows stay the boundary, so what arrived meanwhile is
    // reported once and nothing is stored twice.
    conductor::start_listening_thread();
    ++restarts_;
    up_since = clock_seconds();
    if (link_) link_->resume();
    logger()->info("listening restarted ({} so far)", restarts_);
  }
}

asio::awaitable<void> Host::report_status() {
  while (!stopping_) {
    co_await timing::async_sleep(options_.status_interval);
    if (stopping_) co_return;
    logger()->info("{}", status_line());
  }
}

asio::awaitable<void> Host::play_scripted_requests() {
  auto requests = scenario_.at("server");
  std::stable_sort(requests.begin(), requests.end(),
                   [](const Json& a, const Json& b) { return a.value("at", 0.0) < b.value("at", 0.0); });
  for (const auto& entry : requests) {
    const double due = started_at_ + entry.value("at", 0.0);
    if (const double wait = due - clock_seconds(); wait > 0) co_await timing::async_sleep(wait);
    if (stopping_) co_return;
    const Json message = entry.value("message", Json());
    logger()->info("scenario server request: {}", message.dump());
    std::exception_ptr failure;
    try {
      co_await conductor::handle_server_message(message);
    } catch (const std::exception&) {
      failure = std::current_exception();
    }
    if (failure) {
      rethrow_if_cancelled(co_await asio::this_coro::cancellation_state, failure);
      logger()->error("scenario server request failed: {}", error_text(failure));
    }
  }
  script_done_ = true;
}

asio::awaitable<void> Host::watch_demo() {
  std::optional<std::uint64_t> idle_at_end;
  std::optional<double> drain_since;
  while (!stopping_) {
    co_await timing::async_sleep(kSupervisionInterval);
    if (sim_->pending_events() > 0 || !script_done_ || pacer_->queued() > 0) {
      idle_at_end.reset();
      continue;
    }
    if (!idle_at_end) idle_at_end = idle_cycles_->load();
    if (*idle_at_end + kCaughtUpIdleCycles > idle_cycles_->load()) continue;
    // Give the server a while to take what is still in the outbox (it may be
    // away just now); what it has not taken then waits for the next run.
    if (outbox_ && outbox_->size() > 0) {
      if (!drain_since) drain_since = clock_seconds();
      if (clock_seconds() - *drain_since < kOutboxDrainWait) continue;
      logger()->warn("{} events wait in the outbox for the server", outbox_->size());
    }
    request_stop(kExitOk, "the scenario is played out and listening has caught up");
    co_return;
  }
}

void Host::request_stop(int exit_code, const std::string& why) {
  if (stopping_) return;
  stopping_ = true;
  exit_code_ = exit_code;
  print_line("orvanta: stopping: " + why);
  logger()->info("stopping: {}", why);
  asio::co_spawn(loop_, finish(), log_failure("stopping"));
}

asio::awaitable<void> Host::finish() {
  if (auto thread = conductor::current_listening_thread()) {
    thread->stop();
    thread->join();
  }
  pacer_->stop();
  if (feed_) feed_->stop();
  if (link_) link_->stop();
  if (group_list_http_) asio::post(side_loop_, [this] { group_list_http_->stop(); });
  if (monitoring_http_) monitoring_http_->stop();
  {
    std::lock_guard guard(list_mu_);
    list_stop_ = true;
  }
  list_cv_.notify_all();
  // Give the link its closing handshake, then end the loop (the daily
  // clean-up task would keep it running).
  co_await timing::async_sleep(0.2);
  loop_.stop();
}

std::string Host::status_line() const {
  return fmt::format("status: cycles={} events={} tasks={} link={} outbox={} listening={} restarts={}",
                     driver_counts_->polls.load(), reporter_->counts().total(), tasks_->load(),
                     link_ ? (link_->ws() ? "up" : "down") : "none", outbox_ ? outbox_->size() : 0,
                     listening_up_ ? "up" : "down", restarts_);
}

void Host::start_monitoring() {
  monitoring_http_ = std::make_unique<LocalHttpServer>(
      loop_, static_cast<unsigned short>(options_.http_port),
      [this](const std::string& target) { return monitoring_answer(target); }, options_.http_bind);
  monitoring_http_->add_stream(kStatusStreamPath,
                               [this] { return status().dump(-1, ' ', false, Json::error_handler_t::replace); });
  monitoring_http_->start();
  const std::string url = monitoring_http_->base_url();
  if (!is_loopback_address(options_.http_bind))
    logger()->warn(
        "the status page, with the chats' texts, and the monitoring endpoint are served on {} to whoever "
        "can reach that address (--http-bind {})",
        url, options_.http_bind);
  print_line(fmt::format("orvanta: status page at {}/ (monitoring at {}/healthz and {}/metrics)", url, url, url));
}

HttpAnswer Host::monitoring_answer(const std::string& target) const {
  const std::string path = target.substr(0, target.find('?'));
  if (path == "/healthz") {
    const auto [state, reason] = health();
    if (state == "ok") return HttpAnswer{200, "text/plain; charset=utf-8", "ok\n"};
    return HttpAnswer{state == "unhealthy" ? 503 : 200, "text/plain; charset=utf-8", state + ": " + reason + "\n"};
  }
  if (path == "/metrics") return HttpAnswer{200, "text/plain; version=0.0.4; charset=utf-8", metrics_text()};
  if (path == "/status.json")
    return HttpAnswer{200, "application/json", status().dump(-1, ' ', false, Json::error_handler_t::replace)};
  if (auto file = status_page_file(path)) return *file;
  return HttpAnswer{};
}

std::pair<std::string, std::string> Host::health() const {
  if (auto problem = health_problem()) return {"unhealthy", *problem};
  if (auto degraded = degradation()) return {"degraded", *degraded};
  return {"ok", ""};
}

Json Host::status() const {
  Json host = Json::object();
  host["account"] = config.my_wxName.value_or("");
  host["client"] = !sim_                     ? "unknown"
                   : !sim_->client_running() ? "not running"
                   : sim_->logged_in()       ? "logged in"
                                             : "logged out";
  host["listening"] = {{"state", listening_up_ ? "up"
                                 : stopping_   ? "stopped"
                                               : "restarting"},
                       {"restarts", restarts_},
                       {"last_reason", last_failure_.empty() ? Json(nullptr) : Json(printable(last_failure_))}};
  if (link_) {
    host["link"] = {{"state", link_->ws() ? "up" : "down"},
                    {"since", link_since_ms_},
                    {"outbox", outbox_->size()},
                    {"acknowledged", feed_->acknowledged()}};
  } else {
    host["link"] = nullptr;
  }
  const auto [state, reason] = health();
  host["health"] = {{"state", state}, {"reason", reason.empty() ? Json(nullptr) : Json(reason)}};
  host["pacing_queue"] = pacer_->queued();
  host["started"] = started_ms_;
  return board_->snapshot(std::move(host), config.groupName_list.value_or({}));
}

std::optional<std::string> Host::health_problem() const {
  auto thread = conductor::current_listening_thread();
  if (!thread || !thread->running()) return "listening is down" + (last_failure_.empty() ? "" : ": " + last_failure_);
  return std::nullopt;
}

std::string Host::metrics_text() const {
  const auto& c = reporter_->counts();
  std::string out;
  auto metric = [&out](const char* name, const char* type, const char* help, const std::string& samples) {
    out += fmt::format("# HELP {} {}\n# TYPE {} {}\n{}", name, help, name, type, samples);
  };
  metric("orvanta_listening_cycles_total", "counter", "Polls of the listening loop.",
         fmt::format("orvanta_listening_cycles_total {}\n", driver_counts_->polls.load()));
  metric("orvanta_listening_up", "gauge", "Whether the listening thread runs.",
         fmt::format("orvanta_listening_up {}\n", health_problem() ? 0 : 1));
  metric("orvanta_listening_restarts_total", "counter", "Restarts of listening after a failure.",
         fmt::format("orvanta_listening_restarts_total {}\n", restarts_));
  metric("orvanta_events_total", "counter", "Events reported, by kind.",
         fmt::format("orvanta_events_total{{kind=\"group_message\"}} {}\n"
                     "orvanta_events_total{{kind=\"private_message\"}} {}\n"
                     "orvanta_events_total{{kind=\"member_join\"}} {}\n"
                     "orvanta_events_total{{kind=\"message_recall\"}} {}\n",
                     c.group_messages.load(), c.private_messages.load(), c.joins.load(), c.recalls.load()));
  metric("orvanta_tasks_total", "counter", "Client actions handed to the task bridge.",
         fmt::format("orvanta_tasks_total {}\n", tasks_->load()));
  metric("orvanta_send_queue", "gauge", "Messages waiting for the send pacing.",
         fmt::format("orvanta_send_queue {}\n", pacer_->queued()));
  metric("orvanta_server_link_up", "gauge", "Whether the server link is open.",
         fmt::format("orvanta_server_link_up {}\n", link_ && link_->ws() ? 1 : 0));
  metric("orvanta_outbox_events", "gauge", "Events waiting for the server's acknowledgement.",
         fmt::format("orvanta_outbox_events {}\n", outbox_ ? outbox_->size() : 0));
  metric("orvanta_outbox_dropped_total", "counter", "Events dropped because the outbox was full.",
         fmt::format("orvanta_outbox_dropped_total {}\n", outbox_ ? outbox_->dropped() : 0));
  metric("orvanta_server_messages_total", "counter", "Frames received from the server.",
         fmt::format("orvanta_server_messages_total {}\n", protocol_->received()));
  metric("orvanta_server_messages_rejected_total", "counter", "Server messages not understood.",
         fmt::format("orvanta_server_messages_rejected_total {}\n", protocol_->rejected()));
  metric("orvanta_server_requests_total", "counter", "Server requests by outcome.",
         fmt::format("orvanta_server_requests_total{{result=\"done\"}} {}\n"
                     "orvanta_server_requests_total{{result=\"failed\"}} {}\n"
                     "orvanta_server_requests_total{{result=\"dropped\"}} {}\n",
                     protocol_->carried_out(), protocol_->failed(), protocol_->dropped()));
  return out;
}

void Host::print_summary() {
  const auto& c = reporter_->counts();
  print_line("orvanta: summary");
  print_line(fmt::format("  listening: {} polls, {} restart(s){}", driver_counts_->polls.load(), restarts_,
                         last_failure_.empty() ? "" : ", last failure: " + last_failure_));
  print_line(fmt::format("  events: {} group message(s), {} private message(s), {} join(s), {} recall(s)",
                         c.group_messages.load(), c.private_messages.load(), c.joins.load(), c.recalls.load()));
  print_line(fmt::format("  server requests: {} carried out, {} failed, {} dropped, {} rejected; client actions: {}",
                         protocol_->carried_out(), protocol_->failed(), protocol_->dropped(), protocol_->rejected(),
                         tasks_->load()));
  if (sim_) {
    for (const auto& s : sim_->sent())
      print_line(fmt::format("    sent in {}: {}{}{}", printable(s.chat), printable(s.text),
                             s.at ? " (@" + printable(*s.at) + ")" : "",
                             s.quoted ? " quoting \"" + printable(*s.quoted) + "\"" : ""));
    // Two threads driving the client at once is a fault of the system; the
    // simulated client notices it, and the summary says so.
    for (const auto& v : sim_->thread_violations()) print_line("  client: " + printable(v.message));
  }
  if (link_) {
    print_line(fmt::format("  server link {}: {} connection(s), {} event(s) acknowledged, {} waiting in the outbox",
                           link_->url(), link_->connects(), feed_->acknowledged(), outbox_->size()));
  } else {
    print_line("  server link: none (events were printed and logged only)");
  }
  std::string rows = "?";
  if (auto db = config.db.load()) {
    try {
      rows = std::to_string((*db)->get_all_messages(AllQuery{}).size());
    } catch (const std::exception& e) {
      rows = e.what();
    }
  }
  print_line(fmt::format("  store: {} ({} message rows)", conductor::store_path().string(), rows));
}

int Host::run() {
  if (options_.client == "windows") {
    std::fprintf(stderr,
                 "orvanta: the Windows client driver is not part of this build (it is built on Windows only); "
                 "use --client sim\n");
    return kExitNoClient;
  }
  setup_logging(options_);
  if (options_.speed > 1.0) timing::set_scale(options_.speed);
  config.id前缀.set(options_.id_prefix);

  RunningLoopScope scope(loop_);
  try {
    if (options_.store_dir) conductor::set_store_dir(std::filesystem::absolute(*options_.store_dir));
    set_up_client();
    set_up_group_list();
    set_up_server_link();
    // The stored messages are kept: what arrived while the host was down is
    // reported once, and the message identifiers the server holds stay
    // valid for replies.
    conductor::init(conductor::InitOptions{.keep_messages = true});
    install_handlers();
    start_tasks();
    conductor::start_listening_msg();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvanta: cannot start: %s\n", e.what());
    return kExitStartFailed;
  }
  print_line(
      fmt::format("orvanta: listening as {} (store {})", conductor::get_wx_name(), conductor::store_path().string()));
  listening_up_ = true;
  // The group-list server and the link run on the loop; the first poll
  // happens on the listening thread.
  asio::co_spawn(
      loop_,
      [this]() -> asio::awaitable<void> {
        while (driver_counts_->first_poll_ns == 0 && !stopping_) co_await timing::async_sleep(0.01);
        const auto first =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(driver_counts_->first_poll_ns));
        logger()->info("first poll {:.1f} ms after start",
                       std::chrono::duration<double, std::milli>(first - process_start_).count());
      },
      log_failure("timing the first poll"));
  loop_.run();
  if (list_thread_.joinable()) list_thread_.join();
  if (side_thread_.joinable()) side_thread_.join();
  print_summary();
  config.db.reset();
  config.wx.reset();
  return exit_code_;
}

int run_host(const RunOptions& options, std::chrono::steady_clock::time_point process_start) {
  Host host(options, process_start);
  return host.run();
}

}  // namespace orvanta::host
