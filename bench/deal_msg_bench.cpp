// One window pass (deal_msg) over a group window of 1,000 messages with the
// group's eight newest stored rows, on the simulated client. The time the simulated client itself
// spends (opening the chat, building the window read, answering each
// message's reads) is measured around every call into it and subtracted, so
// the figure is the system's own work: the store queries, the alignment and
// the recall check.
//
//   newest:   the stored rows are the window's eight newest messages
//             (the steady state: nothing new)
//   fallback: the lining-up of a 1,000-line window with the group's 50
//             recent rows when the stored rows were not found (pure work,
//             no client)

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/line_alignment.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/window_processing.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using orvanta::Json;
namespace wxauto = orvanta::wxauto;

constexpr int kWindow = 1000;
constexpr const char* kGroup = "基准测试群";

// Time spent inside the simulated client.
Clock::duration sim_time{};

class Timed {
 public:
  Timed() : start_(Clock::now()) {}
  ~Timed() { sim_time += Clock::now() - start_; }

 private:
  Clock::time_point start_;
};

class TimedMessage final : public wxauto::WindowMessage {
 public:
  explicit TimedMessage(std::shared_ptr<wxauto::WindowMessage> inner) : inner_(std::move(inner)) {}
  std::optional<std::string> sender() const override {
    Timed t;
    return inner_->sender();
  }
  std::optional<std::string> sender_remark() const override {
    Timed t;
    return inner_->sender_remark();
  }
  std::optional<std::string> content() const override {
    Timed t;
    return inner_->content();
  }
  std::optional<Json> info() const override {
    Timed t;
    return inner_->info();
  }
  bool has_quote() const override { return inner_->has_quote(); }
  void quote(const std::string& text, const std::optional<std::string>& at) override { inner_->quote(text, at); }
  wxauto::Download download() override {
    Timed t;
    return inner_->download();
  }

 private:
  std::shared_ptr<wxauto::WindowMessage> inner_;
};

class TimedWeChat final : public wxauto::WeChat {
 public:
  explicit TimedWeChat(std::shared_ptr<wxauto::WeChat> inner) : inner_(std::move(inner)) {}
  std::string nickname() const override { return inner_->nickname(); }
  Json GetNextNewMessage(bool filter_mute) override { return inner_->GetNextNewMessage(filter_mute); }
  void ChatWith(const std::string& who) override {
    Timed t;
    inner_->ChatWith(who);
  }
  void SwitchToChat() override { inner_->SwitchToChat(); }
  void SwitchToContact() override { inner_->SwitchToContact(); }
  std::vector<std::string> CollectAllGroupNames() override { return inner_->CollectAllGroupNames(); }
  wxauto::WindowMessages GetAllMessage() override {
    Timed t;
    wxauto::WindowMessages messages = inner_->GetAllMessage();
    for (auto& m : messages) m = std::make_shared<TimedMessage>(std::move(m));
    return messages;
  }
  void LoadMoreMessage() override {
    Timed t;
    inner_->LoadMoreMessage();
  }
  std::vector<std::string> GetGroupMembers() override { return inner_->GetGroupMembers(); }
  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    inner_->SendMsg(text, who, at);
  }

 private:
  std::shared_ptr<wxauto::WeChat> inner_;
};

void run_pass() {
  boost::asio::io_context loop;
  std::exception_ptr failure;
  boost::asio::co_spawn(loop, orvanta::robot::deal_msg(kGroup), [&](std::exception_ptr e) { failure = e; });
  loop.run();
  if (failure) std::rethrow_exception(failure);
}

void store_row(const std::string& content) {
  orvanta::robot::update_db_messages(orvanta::MessageData{.group_name = kGroup,
                                                          .type = "text",
                                                          .content = content,
                                                          .sender = "成员7",
                                                          .msg_id = orvanta::robot::get_msg_id(),
                                                          .have_checked = "false"});
}

void deal_msg_pass(benchmark::State& state, bool rows_in_window) {
  // The log goes nowhere: its formatting stays in the measured work.
  if (!spdlog::get(orvanta::kLoggerName))
    spdlog::register_logger(
        std::make_shared<spdlog::logger>(orvanta::kLoggerName, std::make_shared<spdlog::sinks::null_sink_mt>()));
  orvanta::testing::TempDir dir;
  orvanta::config.reset();
  orvanta::config.db.set(orvanta::sqlite::open_message_db(dir.file("wxChat.db")));
  orvanta::config.my_wxName.set("基准助手");

  orvanta::sim::SimOptions options;
  options.nickname = "基准助手";
  options.window_size = kWindow + 10;
  options.files_dir = dir.path() / "files";
  auto client = orvanta::sim::make_sim_client(options);
  client->add_group(kGroup, {{"成员7", std::nullopt}});
  for (int i = 0; i < kWindow; ++i) client->post_text(kGroup, "成员7", "第" + std::to_string(i) + "条消息，内容长一些");
  client->bind_platform();
  orvanta::config.wx.set(std::make_shared<TimedWeChat>(client->driver()->MakeWeChat()));
  orvanta::config.firstCheckGroup.set(kGroup, true);
  for (int i = kWindow - 8; i < kWindow; ++i)
    store_row(rows_in_window ? "第" + std::to_string(i) + "条消息，内容长一些" : "不在窗口里" + std::to_string(i));
  run_pass();  // opens the chat and reads it once before timing

  double sim_ms = 0;
  for (auto _ : state) {
    sim_time = {};
    const auto start = Clock::now();
    run_pass();
    const auto total = Clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(total - sim_time).count());
    sim_ms += std::chrono::duration<double, std::milli>(sim_time).count();
  }
  // The simulated client's own time per pass, left out of the figure.
  state.counters["sim_ms"] = benchmark::Counter(sim_ms, benchmark::Counter::kAvgIterations);
  orvanta::config.reset();
  orvanta::platform.reset();
}

void BM_DealMsg_RowsNewest(benchmark::State& state) {
  deal_msg_pass(state, true);
}
void BM_Fallback_LineUp(benchmark::State& state) {
  using orvanta::robot::LineKey;
  std::vector<LineKey> window, rows;
  const auto key = [](int i, const std::string& sender) {
    return LineKey{.kind = LineKey::Kind::kMessage,
                   .type = "text",
                   .content = i % 7 == 0 ? std::string("收到") : "第" + std::to_string(i) + "条",
                   .sender = sender,
                   .own_recall = false,
                   .img_md5 = {}};
  };
  for (int i = 0; i < kWindow; ++i) window.push_back(key(i, "成员" + std::to_string(i % 5)));
  // Rows that stood before a cleared stretch of the chat: half of them are
  // still shown.
  for (int i = kWindow - 100; i < kWindow - 50; ++i)
    rows.push_back(key(i % 2 == 0 ? i : -i, "成员" + std::to_string(i % 5)));
  for (auto _ : state) benchmark::DoNotOptimize(orvanta::robot::line_up(window, rows));
}

BENCHMARK(BM_DealMsg_RowsNewest)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50)->Repetitions(7);
BENCHMARK(BM_Fallback_LineUp)->Unit(benchmark::kMillisecond)->Repetitions(7);

}  // namespace

BENCHMARK_MAIN();
