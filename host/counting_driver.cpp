#include "counting_driver.hpp"

#include <mutex>
#include <string>
#include <utility>

namespace orvanta::host {
namespace {

class CountingWeChat final : public wxauto::WeChat {
 public:
  CountingWeChat(std::shared_ptr<wxauto::WeChat> inner, std::shared_ptr<DriverCounts> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {}

  std::string nickname() const override { return inner_->nickname(); }
  Json GetNextNewMessage(bool filter_mute) override {
    if (counts_->first_poll_ns == 0) {
      std::int64_t expected = 0;
      counts_->first_poll_ns.compare_exchange_strong(
          expected, std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1));
    }
    ++counts_->polls;
    return inner_->GetNextNewMessage(filter_mute);
  }
  void ChatWith(const std::string& who) override {
    inner_->ChatWith(who);
    std::lock_guard guard(mu_);
    open_chat_ = who;
  }
  void SwitchToChat() override { inner_->SwitchToChat(); }
  void SwitchToContact() override { inner_->SwitchToContact(); }
  std::vector<std::string> CollectAllGroupNames() override { return inner_->CollectAllGroupNames(); }
  wxauto::WindowMessages GetAllMessage() override {
    auto messages = inner_->GetAllMessage();
    if (counts_->on_read) {
      std::string chat;
      {
        std::lock_guard guard(mu_);
        chat = open_chat_;
      }
      if (!chat.empty()) counts_->on_read(chat);
    }
    return messages;
  }
  void LoadMoreMessage() override { inner_->LoadMoreMessage(); }
  std::vector<std::string> GetGroupMembers() override { return inner_->GetGroupMembers(); }
  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    inner_->SendMsg(text, who, at);
    ++counts_->sends;
  }

 private:
  std::shared_ptr<wxauto::WeChat> inner_;
  std::shared_ptr<DriverCounts> counts_;
  std::mutex mu_;
  std::string open_chat_;  // guarded by mu_: the chat ChatWith opened last
};

class CountingDriver final : public wxauto::Driver {
 public:
  CountingDriver(std::shared_ptr<wxauto::Driver> inner, std::shared_ptr<DriverCounts> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {}

  std::shared_ptr<wxauto::WeChat> MakeWeChat() override {
    return std::make_shared<CountingWeChat>(inner_->MakeWeChat(), counts_);
  }
  wxauto::WxParam& Param() override { return inner_->Param(); }
  wxauto::WindowHandle FindWindow(const std::string& classname) override { return inner_->FindWindow(classname); }
  std::shared_ptr<wxauto::WeChatImage> MakeWeChatImage() override { return inner_->MakeWeChatImage(); }
  uia::Automation& Uia() override { return inner_->Uia(); }

 private:
  std::shared_ptr<wxauto::Driver> inner_;
  std::shared_ptr<DriverCounts> counts_;
};

}  // namespace

std::shared_ptr<wxauto::Driver> make_counting_driver(std::shared_ptr<wxauto::Driver> inner,
                                                     std::shared_ptr<DriverCounts> counts) {
  return std::make_shared<CountingDriver>(std::move(inner), std::move(counts));
}

}  // namespace orvanta::host
