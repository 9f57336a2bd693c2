// The status page, its script and its style.

#include "status_page.hpp"

namespace orvanta::host {

namespace {

constexpr const char* kPage = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>orvanta status</title>
<link rel="stylesheet" href="/status.css">
<script src="/status.js" defer></script>
</head>
<body>
<header>
<h1>orvanta <span id="account"></span></h1>
<span id="connection" class="conn connecting">connecting</span>
</header>
<section id="summary">
<dl>
<dt>Health</dt><dd id="health">-</dd>
<dt>Client</dt><dd id="client">-</dd>
<dt>Listening</dt><dd id="listening">-</dd>
<dt>Server link</dt><dd id="link">-</dd>
<dt>Send queue</dt><dd id="pacing">-</dd>
<dt>Running since</dt><dd id="started">-</dd>
</dl>
</section>
<section>
<h2>Groups</h2>
<table id="groups">
<thead><tr><th>Group</th><th>Last read</th><th>Last event</th><th>Messages</th><th>Joins</th><th>Recalls</th><th>Gaps</th></tr></thead>
<tbody></tbody>
</table>
</section>
<section>
<h2>Last events <small>(newest first, at most 100)</small></h2>
<table id="events">
<thead><tr><th>Time</th><th>Kind</th><th>Chat</th><th>Sender</th><th>Text</th></tr></thead>
<tbody></tbody>
</table>
</section>
<section>
<h2>Last server requests <small>(newest first, at most 50)</small></h2>
<table id="requests">
<thead><tr><th>Time</th><th>Request</th><th>Type</th><th>Chat</th><th>Result</th><th>Reason</th></tr></thead>
<tbody></tbody>
</table>
</section>
</body>
</html>
)page";

// Every text from the host goes into the page through textContent.
constexpr const char* kScript = R"script('use strict';
(function () {
  const byId = (id) => document.getElementById(id);
  const kinds = {
    group_message: 'message', private_message: 'private message', member_join: 'join',
    message_recall: 'recall', gap: 'gap'
  };

  function put(element, value) {
    element.textContent = value === null || value === undefined ? '' : String(value);
    return element;
  }
  function time(ms) {
    if (!ms) return '-';
    const d = new Date(ms);
    const today = new Date();
    return d.toDateString() === today.toDateString() ? d.toLocaleTimeString() : d.toLocaleString();
  }
  function row(values, classes) {
    const tr = document.createElement('tr');
    values.forEach((value, i) => {
      const td = put(document.createElement('td'), value);
      if (classes && classes[i]) td.className = classes[i];
      tr.appendChild(td);
    });
    return tr;
  }
  function table(id, rows) {
    byId(id).tBodies[0].replaceChildren(...rows);
  }
  function state(id, text, level) {
    const element = put(byId(id), text);
    element.className = level || '';
  }

  function render(s) {
    const h = s.host || {};
    put(byId('account'), h.account ? '(' + h.account + ')' : '');
    const health = h.health || {};
    state('health', health.state + (health.reason ? ': ' + health.reason : ''),
          health.state === 'ok' ? 'good' : health.state === 'degraded' ? 'warn' : 'bad');
    state('client', h.client, h.client === 'logged in' ? 'good' : 'bad');
    const l = h.listening || {};
    state('listening', l.state + ', ' + l.restarts + ' restart(s) so far' +
          (l.last_reason ? ' (last: ' + l.last_reason + ')' : ''), l.state === 'up' ? 'good' : 'bad');
    const link = h.link;
    if (!link) {
      state('link', 'none (events are printed and logged only)', '');
    } else {
      state('link', link.state + ' since ' + time(link.since) + ', ' + link.outbox + ' event(s) waiting in the outbox, ' +
            link.acknowledged + ' acknowledged', link.state === 'up' ? 'good' : 'bad');
    }
    state('pacing', h.pacing_queue + ' message(s) waiting', h.pacing_queue > 0 ? 'warn' : '');
    state('started', time(h.started), '');

    table('groups', (s.groups || []).map((g) => row([
      g.name, time(g.last_read),
      g.last_event ? (kinds[g.last_event.kind] || g.last_event.kind) + ' at ' + time(g.last_event.at) : '-',
      g.messages, g.joins, g.recalls, g.gaps
    ], ['name', 'read', 'last', 'n', 'n', 'n', g.gaps > 0 ? 'n bad' : 'n'])));
    table('events', (s.events || []).map((e) => row([
      time(e.at), kinds[e.kind] || e.kind, e.chat, e.sender, e.text
    ], ['time', 'kind ' + e.kind, 'chat', 'sender', 'text'])));
    table('requests', (s.requests || []).map((r) => row([
      time(r.at), r.request_id, r.type, r.chat, r.result, r.reason
    ], ['time', 'id', 'type', 'chat', 'result ' + r.result, 'reason'])));
  }

  function connection(level, text) {
    const element = put(byId('connection'), text);
    element.className = 'conn ' + level;
    document.body.classList.toggle('stale', level !== 'live');
  }

  let stopped = false;
  const source = new EventSource('/events');
  source.onmessage = (event) => {
    let snapshot;
    try {
      snapshot = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    render(snapshot);
    connection('live', 'live');
  };
  source.addEventListener('stopped', () => {
    stopped = true;
    source.close();
    connection('stopped', 'stopped: the host has shut down');
  });
  source.onerror = () => {
    if (stopped) return;
    connection('down', 'not reachable: the host has stopped or cannot be reached (trying again)');
  };
})();
)script";

constexpr const char* kStyle =
    R"style(:root { color-scheme: light; font-family: system-ui, sans-serif; font-size: 14px; }
body { margin: 1.5em; color: #1d2330; background: #f6f7f9; }
body.stale section { opacity: 0.55; }
header { display: flex; align-items: baseline; gap: 1em; }
h1 { font-size: 1.5em; margin: 0 0 0.5em; }
h1 span { font-weight: normal; color: #555; }
h2 { font-size: 1.1em; margin: 1.2em 0 0.4em; }
h2 small { font-weight: normal; color: #777; }
.conn { padding: 0.15em 0.6em; border-radius: 1em; font-weight: 600; }
.conn.live { background: #d8f3dc; color: #1b5e20; }
.conn.connecting { background: #e8eaf0; color: #444; }
.conn.down, .conn.stopped { background: #fde2e1; color: #a4161a; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 0.3em 1em; margin: 0;
     background: #fff; padding: 0.8em 1em; border: 1px solid #dde1e7; border-radius: 6px; }
dt { color: #555; }
dd { margin: 0; }
.good { color: #1b5e20; }
.warn { color: #8a5a00; }
.bad { color: #a4161a; }
table { border-collapse: collapse; width: 100%; background: #fff; border: 1px solid #dde1e7; }
th, td { text-align: left; padding: 0.3em 0.6em; border-bottom: 1px solid #eceef2; vertical-align: top; }
th { background: #eef0f4; font-weight: 600; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
td.time { white-space: nowrap; color: #555; }
td.text, td.reason { white-space: pre-wrap; word-break: break-word; }
td.result.done { color: #1b5e20; }
td.result.failed, td.result.dropped, td.kind.gap { color: #a4161a; }
)style";

}  // namespace

std::optional<HttpAnswer> status_page_file(const std::string& path) {
  if (path == "/" || path == "/index.html") return HttpAnswer{200, "text/html; charset=utf-8", kPage};
  if (path == "/status.js") return HttpAnswer{200, "text/javascript; charset=utf-8", kScript};
  if (path == "/status.css") return HttpAnswer{200, "text/css; charset=utf-8", kStyle};
  return std::nullopt;
}

}  // namespace orvanta::host
