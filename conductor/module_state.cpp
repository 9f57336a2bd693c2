// The process-wide objects of the conductor library: the member-watch slot,
// the listening thread started last, and this library's own location.

#include <mutex>
#include <optional>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/os.hpp"
#include "state.hpp"

namespace orvanta::conductor {

robot::Slot<MemberWatch> deal_group_members{"deal_group_members", default_deal_group_members};

namespace {
std::mutex listening_mu;
std::shared_ptr<ListeningThread> listening_thread;

std::mutex store_dir_mu;
std::optional<std::filesystem::path> store_dir;  // guarded by store_dir_mu
}  // namespace

void set_current_listening_thread(std::shared_ptr<ListeningThread> thread) {
  std::shared_ptr<ListeningThread> previous;
  {
    std::lock_guard guard(listening_mu);
    previous = std::move(listening_thread);
    listening_thread = std::move(thread);
  }
  // A replaced thread is released outside the lock: releasing the last
  // reference joins it.
}

std::shared_ptr<ListeningThread> current_listening_thread() {
  std::lock_guard guard(listening_mu);
  return listening_thread;
}

std::filesystem::path module_path() {
  // Any address inside this library names its file.
  return os::library_path_of(reinterpret_cast<const void*>(&module_path));
}

std::filesystem::path store_path() {
  {
    std::lock_guard guard(store_dir_mu);
    if (store_dir) return *store_dir / "wxChat.db";
  }
  return module_path().parent_path() / "wxChat.db";
}

void set_store_dir(std::optional<std::filesystem::path> dir) {
  std::lock_guard guard(store_dir_mu);
  store_dir = std::move(dir);
}

}  // namespace orvanta::conductor
