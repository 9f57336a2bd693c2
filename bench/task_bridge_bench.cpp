// The task bridge under load, against the simulated client.
//
// - SendThroughput: 100,000 wx_send_msg submissions from 4 host threads,
//   carried out by the consumer on its own listening loop; the figure is
//   tasks carried out per second, from the first submission to the last
//   send reaching the driver. Run once with the simulated client and once
//   with a driver that does nothing, which shows the bridge's own share.
// - MemberListRoundTrip: one host loop awaiting wx_get_group_memberlist
//   again and again; each round trip minus the time spent inside the driver
//   during it, median and 99th percentile.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/loop_handle.hpp"
#include "orvanta/robot/task_bridge.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace orvanta;
using Clock = std::chrono::steady_clock;

// Forwards to a driver (or to nothing), counting sends and the time spent in
// the forwarded calls.
class MeasuredWeChat final : public wxauto::WeChat {
 private:
  template <class F>
  auto timed(F f) {
    const auto start = Clock::now();
    struct Add {
      std::atomic<long long>& total;
      Clock::time_point start;
      ~Add() { total += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count(); }
    } add{driver_nanos, start};
    return f();
  }

 public:
  explicit MeasuredWeChat(std::shared_ptr<wxauto::WeChat> inner) : inner_(std::move(inner)) {}

  std::string nickname() const override { return inner_ ? inner_->nickname() : "bench"; }
  Json GetNextNewMessage(bool filter_mute) override {
    return timed([&] { return inner_ ? inner_->GetNextNewMessage(filter_mute) : Json::object(); });
  }
  void ChatWith(const std::string& who) override {
    timed([&] {
      if (inner_) inner_->ChatWith(who);
    });
  }
  void SwitchToChat() override {
    timed([&] {
      if (inner_) inner_->SwitchToChat();
    });
  }
  void SwitchToContact() override {
    timed([&] {
      if (inner_) inner_->SwitchToContact();
    });
  }
  std::vector<std::string> CollectAllGroupNames() override {
    return timed([&] { return inner_ ? inner_->CollectAllGroupNames() : std::vector<std::string>{}; });
  }
  wxauto::WindowMessages GetAllMessage() override {
    return timed([&] { return inner_ ? inner_->GetAllMessage() : wxauto::WindowMessages{}; });
  }
  void LoadMoreMessage() override {
    timed([&] {
      if (inner_) inner_->LoadMoreMessage();
    });
  }
  std::vector<std::string> GetGroupMembers() override {
    return timed([&] { return inner_ ? inner_->GetGroupMembers() : std::vector<std::string>{}; });
  }
  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    timed([&] {
      if (inner_) inner_->SendMsg(text, who, at);
    });
    sends.fetch_add(1, std::memory_order_release);
  }

  std::atomic<long> sends{0};
  std::atomic<long long> driver_nanos{0};

 private:
  std::shared_ptr<wxauto::WeChat> inner_;
};

// A listening loop on its own thread running only the consumer.
class Consumer {
 public:
  Consumer() : context_(std::make_shared<boost::asio::io_context>(1)) {
    handle_ = LoopHandle::make(context_);
    queue_ = std::make_shared<TaskQueue>(handle_);
    config.wx_task_loop.set(handle_);
    config.wx_task_queue.set(queue_);
    boost::asio::co_spawn(*context_, conductor::process_wx_tasks(),
                          boost::asio::bind_cancellation_slot(cancel_.slot(), [](std::exception_ptr) {}));
    thread_ = std::thread([this] { context_->run(); });
  }
  ~Consumer() {
    handle_->post([this] { cancel_.emit(boost::asio::cancellation_type::terminal); }, [](std::exception_ptr) {});
    thread_.join();
    handle_->close();
    queue_->close();
    config.wx_task_loop.reset();
    config.wx_task_queue.reset();
  }

 private:
  std::shared_ptr<boost::asio::io_context> context_;
  std::shared_ptr<LoopHandle> handle_;
  std::shared_ptr<TaskQueue> queue_;
  boost::asio::cancellation_signal cancel_;
  std::thread thread_;
};

constexpr int kSubmissions = 100000;
constexpr int kThreads = 4;

void SendThroughput(benchmark::State& state) {
  const bool with_sim = state.range(0) == 1;
  Consumer consumer;
  long done = 0;
  for (auto _ : state) {
    // A fresh client each round, so that every round sends into a chat of
    // the same length.
    std::shared_ptr<sim::SimClient> client;
    if (with_sim) {
      client = sim::make_sim_client();
      client->add_group("G", {{"Alice", std::nullopt}});
      client->bind_platform();
    }
    auto wx = std::make_shared<MeasuredWeChat>(with_sim ? client->driver()->MakeWeChat() : nullptr);
    config.wx.set(wx);
    const auto start = Clock::now();
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t)
      hosts.emplace_back([] {
        for (int i = 0; i < kSubmissions / kThreads; ++i) robot::wx_send_msg("hello", "G");
      });
    for (auto& h : hosts) h.join();
    // Looks now and then rather than spinning, so as not to take a core
    // from the consumer.
    while (wx->sends.load(std::memory_order_acquire) < kSubmissions)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    done += kSubmissions;
  }
  state.SetItemsProcessed(done);
  state.SetLabel(with_sim ? "simulated client" : "driver doing nothing");
  config.wx.reset();
}
BENCHMARK(SendThroughput)->Arg(1)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void MemberListRoundTrip(benchmark::State& state) {
  testing::TempDir dir;
  config.db.set(sqlite::open_message_db(dir.file("wxChat.db")));
  auto client = sim::make_sim_client();
  client->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}, {"Carol", std::nullopt}});
  client->bind_platform();
  auto wx = std::make_shared<MeasuredWeChat>(client->driver()->MakeWeChat());
  config.wx.set(wx);
  Consumer consumer;
  std::vector<double> beyond, total;
  for (auto _ : state) {
    boost::asio::io_context host;
    boost::asio::co_spawn(
        host,
        [&]() -> boost::asio::awaitable<void> {
          for (int i = 0; i < 2000; ++i) {
            const long long driver_before = wx->driver_nanos.load();
            const auto start = Clock::now();
            auto members = co_await robot::wx_get_group_memberlist("G");
            const double elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            const double driver = static_cast<double>(wx->driver_nanos.load() - driver_before) / 1000.0;
            if (!members || members->size() != 3) throw std::runtime_error("wrong member list");
            total.push_back(elapsed);
            beyond.push_back(elapsed - driver);
          }
        },
        [](std::exception_ptr e) {
          if (e) std::rethrow_exception(e);
        });
    host.run();
  }
  auto percentile = [](std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
  };
  state.counters["median_us_beyond_driver"] = percentile(beyond, 0.5);
  state.counters["p99_us_beyond_driver"] = percentile(beyond, 0.99);
  state.counters["median_us_total"] = percentile(total, 0.5);
  config.wx.reset();
  config.db.reset();
}
BENCHMARK(MemberListRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The consumer logs nothing on success; keep any failure visible.
  logger()->set_level(spdlog::level::warn);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
