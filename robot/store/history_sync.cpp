// History synchronisation: what a chat window already shows is stored as
// handled history before anything in it can be reported as new.

#include "orvanta/robot/history_sync.hpp"

#include <exception>
#include <string_view>
#include <vector>

#include "../processing/picture_file.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/record_update.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/window_reads.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kRecall = "撤回了一条消息";

}  // namespace

void getAllHistoricalNews() {
  try {
    logger()->info("获取监听所有群的历史消息");
    const std::string url = config.get_listening_group_url.get() + config.my_wxName.get();
    const Json answer = Json::parse(http_get(url));
    // Only the number 200 means success; a code given as text does not.
    const auto code = answer.find("code");
    if (code == answer.end() || !code->is_number() || *code != Json(200)) return;
    std::vector<std::string> names;
    for (const Json& entry : answer.at("data")) names.push_back(entry.at("name").get<std::string>());
    config.groupName_list.set(names);
    for (const std::string& name : names) getHistoricalNews(name);
  } catch (const std::exception& e) {
    print_line(e.what());
  }
}

void getHistoricalNews(const std::string& nickname) {
  const auto wx = config.wx.get();
  wx->ChatWith(nickname);
  if (get_group_message_count(nickname) > 0) {
    // Storing the window again would store its lines twice; the window pass
    // reports what is newer than the stored rows.
    logger()->info(nickname + " has stored messages: what is newer is reported as new");
    config.firstCheckGroup.set(nickname, true);
    return;
  }
  logger()->info("数据库中暂无群：" + nickname + " 消息记录,直接记录不需要操作");
  const wxauto::WindowMessages messages = wx->GetAllMessage();

  std::vector<MessageData> collected;
  for (const auto& msg : messages) {
    wxauto::WindowMessage& m = *msg;
    if (!is_record(m)) continue;
    const std::string msg_type = text_of(guarded_read(m, "type"));
    // The identifier and time stamp are taken even when the message is
    // dropped below.
    MessageData record{
        .group_name = nickname,
        .type = msg_type,
        .content = stored_content(msg_type, text_of(guarded_read(m, "content"))),
        .sender = m.sender(),
        .msg_id = get_msg_id(),
        .quote_id = "",
        .quote_content = "",
        .recall_id = "",
        .image_url = "",
        .have_checked = "true",
        .status = "200",
        .img_md5 = "",
        .timestamp = get_now(),
    };
    const auto attr = guarded_read(m, "attr");
    if (is_text(attr, "self") && msg_type != "base") {
      // Own lines are stored apart, as record update stores them, so that the
      // stored rows and the window hold the same lines.
      record.type = "self";
      record.sender = config.my_wxName.get();
      collected.push_back(std::move(record));
      continue;
    }

    if (msg_type == "other") {
      if (const QuoteParts parts = split_quote(m.content().value_or("")); parts.has_marker) {
        record.quote_content = parts.quoted;
        for (const MessageData& earlier : collected) {
          if (earlier.content == record.quote_content) {
            record.quote_id = earlier.msg_id;
            break;
          }
        }
      }
    }
    if (msg_type == "base" && text_contains(guarded_read(m, "content"), kRecall)) {
      record.recall_id = get_msg_id();
      record.type = "text";
    }
    if (msg_type == "image" && is_text(attr, "friend")) {
      const auto download = m.download();
      if (!download.path || download.path->empty()) {
        logger()->error("图片下载失败");
        continue;
      }
      record.img_md5 = picture_key(read_picture_file(*download.path));
    }
    collected.push_back(std::move(record));
  }

  for (const MessageData& record : collected) update_db_messages(record);
  config.firstCheckGroup.set(nickname, true);
  logger()->info("已初始化所有群聊天消息");
}

}  // namespace orvanta::robot
