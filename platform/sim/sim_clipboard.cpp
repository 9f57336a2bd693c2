#include <algorithm>
#include <mutex>
#include <utility>
#include <variant>

#include "faults.hpp"
#include "internal.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::sim {
namespace {

class SimClipboardImpl final : public SimClipboard {
 public:
  explicit SimClipboardImpl(std::shared_ptr<FaultBoard> faults) : faults_(std::move(faults)) {}

  void OpenClipboard() override {
    std::lock_guard guard(mu_);
    uses_.push_back("OpenClipboard");
    land_due_locked();
    if (faults_->check("OpenClipboard")) throw OSError("OpenClipboard: access is denied");
    if (open_ || held_) throw OSError("OpenClipboard: access is denied");
    open_ = true;
    ++opens_;
  }

  void CloseClipboard() override {
    std::lock_guard guard(mu_);
    uses_.push_back("CloseClipboard");
    if (!open_) throw OSError("CloseClipboard: the clipboard is not open");
    open_ = false;
    ++closes_;
  }

  bool IsClipboardFormatAvailable(unsigned format) override {
    std::lock_guard guard(mu_);
    uses_.push_back("IsClipboardFormatAvailable");
    land_due_locked();
    require_open_locked("IsClipboardFormatAvailable");
    return has_format_locked(format);
  }

  ClipboardData GetClipboardData(unsigned format) override {
    std::lock_guard guard(mu_);
    uses_.push_back("GetClipboardData");
    land_due_locked();
    require_open_locked("GetClipboardData");
    if (faults_->check("GetClipboardData")) throw OSError("GetClipboardData: the data is not available");
    if (!has_format_locked(format)) throw OSError("GetClipboardData: the format is not available");
    if (format == CF_HDROP) return files_;
    return text_;
  }

  void set_files(std::vector<std::string> paths) override {
    std::lock_guard guard(mu_);
    put_locked(Content::Files, {}, std::move(paths));
  }

  void set_text(std::string text) override {
    std::lock_guard guard(mu_);
    put_locked(Content::Text, std::move(text), {});
  }

  void set_files_at(std::vector<std::string> paths, timing::SystemTime at) override {
    std::lock_guard guard(mu_);
    later_.push_back(Later{at, Content::Files, {}, std::move(paths)});
    land_due_locked();
  }

  void set_text_at(std::string text, timing::SystemTime at) override {
    std::lock_guard guard(mu_);
    later_.push_back(Later{at, Content::Text, std::move(text), {}});
    land_due_locked();
  }

  void clear() override {
    std::lock_guard guard(mu_);
    text_.clear();
    files_.clear();
    content_ = Content::None;
  }

  void hold_by_other_program(bool held) override {
    std::lock_guard guard(mu_);
    held_ = held;
  }

  bool held_by_other_program() const override {
    std::lock_guard guard(mu_);
    return held_;
  }

  bool is_open() const override {
    std::lock_guard guard(mu_);
    return open_;
  }
  int open_count() const override {
    std::lock_guard guard(mu_);
    return opens_;
  }
  int close_count() const override {
    std::lock_guard guard(mu_);
    return closes_;
  }
  std::vector<std::string> uses() const override {
    std::lock_guard guard(mu_);
    return uses_;
  }

  void fail_on_call(const std::string& operation, int n) override {
    faults_->fail_on_call(operation, n, FaultEffect::Error);
  }

 private:
  enum class Content { None, Text, Files };

  // A content that lands on the clipboard at `at`.
  struct Later {
    timing::SystemTime at;
    Content content;
    std::string text;
    std::vector<std::string> files;
  };

  void put_locked(Content content, std::string text, std::vector<std::string> files) {
    content_ = content;
    text_ = std::move(text);
    files_ = std::move(files);
  }

  // Puts every late content due by now on the clipboard, earliest first.
  void land_due_locked() {
    const auto now = timing::now();
    std::stable_sort(later_.begin(), later_.end(), [](const Later& a, const Later& b) { return a.at < b.at; });
    auto due = later_.begin();
    for (; due != later_.end() && due->at <= now; ++due)
      put_locked(due->content, std::move(due->text), std::move(due->files));
    later_.erase(later_.begin(), due);
  }

  void require_open_locked(const char* operation) const {
    if (!open_) throw OSError(std::string(operation) + ": the clipboard is not open");
  }

  bool has_format_locked(unsigned format) const {
    if (format == CF_HDROP) return content_ == Content::Files;
    if (format == CF_UNICODETEXT) return content_ == Content::Text;
    return false;
  }

  const std::shared_ptr<FaultBoard> faults_;
  mutable std::mutex mu_;
  bool open_ = false;                // guarded by mu_
  bool held_ = false;                // guarded by mu_
  int opens_ = 0;                    // guarded by mu_
  int closes_ = 0;                   // guarded by mu_
  Content content_ = Content::None;  // guarded by mu_
  std::string text_;                 // guarded by mu_
  std::vector<std::string> files_;   // guarded by mu_
  std::vector<std::string> uses_;    // guarded by mu_
  std::vector<Later> later_;         // guarded by mu_
};

}  // namespace

std::shared_ptr<SimClipboard> make_sim_clipboard(std::shared_ptr<FaultBoard> faults) {
  return std::make_shared<SimClipboardImpl>(std::move(faults));
}

std::shared_ptr<SimClipboard> make_sim_clipboard() {
  return make_sim_clipboard(std::make_shared<FaultBoard>(1));
}

}  // namespace orvanta::sim
