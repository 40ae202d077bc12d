#include "status_render.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "sources.h"

using nlohmann::json;

namespace {

// Seconds from milliseconds, to the millisecond; never below 0.
json seconds(int64_t ms) { return static_cast<double>(ms < 0 ? 0 : ms) / 1000.0; }

json source_json(const SourceView& source, int64_t now) {
  json out = {{"name", source.name},
              {"state", state_name(source.state)},
              {"fps", source.has_status ? json(source.fps) : json(nullptr)},
              {"connections", source.has_status ? json(source.connections) : json(nullptr)},
              {"restarts", source.restarts},
              {"decoder_restarts", source.decoder_restarts},
              {"last_reason", source.last_reason.empty() ? json(nullptr) : json(source.last_reason)},
              {"last_message", source.last_message ? json(*source.last_message) : json(nullptr)},
              {"since_s", seconds(now - source.state_since)}};
  if (source.state == SourceState::kWaiting && source.next_start_at != kNoTime) {
    out["next_start_in_s"] = seconds(source.next_start_at - now);
  }
  if (source.state == SourceState::kNoSignal) {
    const std::string& reason = source.no_signal_reason;
    out["no_signal_reason"] = reason.empty() ? json(nullptr) : json(reason);
  }
  return out;
}

// Invalid UTF-8 in a name would make dump() throw: replace it instead.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

const SourceView* find(const View& view, const std::string& name) {
  for (const SourceView& source : view.sources) {
    if (source.name == name) return &source;
  }
  return nullptr;
}

// Label values escape backslash, double quote and line feed.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest text that reads back as the same double.
std::string number(double value) { return json(value).dump(); }

// The states the view shows, in the enum's order.
std::vector<SourceState> shown_states() {
  std::vector<SourceState> states;
  for (size_t i = 0; i < kSourceStates; ++i) {
    SourceState state = static_cast<SourceState>(i);
    if (shown_state(state) == state) states.push_back(state);
  }
  return states;
}

struct Metric {
  const char* name;
  const char* type;
  const char* help;
};

void family(std::ostringstream& out, const Metric& metric) {
  out << "# HELP " << metric.name << " " << metric.help << "\n# TYPE " << metric.name << " "
      << metric.type << "\n";
}

void sample(std::ostringstream& out, const char* name, const SourceView& source, const std::string& value,
            const char* state = nullptr) {
  out << name << "{source=\"" << label(source.name) << "\"";
  if (state != nullptr) out << ",state=\"" << state << "\"";
  out << "} " << value << "\n";
}

}  // namespace

std::string sources_body(const View& view, int64_t now_ms) {
  json out = json::array();
  for (const SourceView& source : view.sources) out.push_back(source_json(source, now_ms));
  return dump(out);
}

bool source_body(const View& view, const std::string& name, int64_t now_ms, std::string* body) {
  const SourceView* source = find(view, name);
  if (source == nullptr) return false;
  *body = dump(source_json(*source, now_ms));
  return true;
}

bool has_source(const View& view, const std::string& name) { return find(view, name) != nullptr; }

bool log_body(const View& view, const std::string& name, std::string* body) {
  const SourceView* source = find(view, name);
  if (source == nullptr) return false;
  json lines = json::array();
  if (source->log) {
    for (const KeptLine& line : source->log->lines()) {
      lines.push_back({{"time", utc_text(line.wall_ms)}, {"text", line.text}});
    }
  }
  *body = dump({{"source", source->name}, {"lines", std::move(lines)}});
  return true;
}


std::string action_body(const Action& action) {
  return dump({{"action", action_name(action.kind)}, {"source", action.source}});
}

std::string error_body(const std::string& error) { return dump({{"error", error}}); }

std::string metrics_body(const View& view, int64_t now_ms) {
  std::ostringstream out;
  family(out, {"zal_ndi_source_up", "gauge", "1 while the source streams, else 0."});
  for (const SourceView& s : view.sources) {
    sample(out, "zal_ndi_source_up", s, s.state == SourceState::kStreaming ? "1" : "0");
  }
  family(out, {"zal_ndi_source_state", "gauge", "1 for the state the source is in, 0 for the others."});
  const std::vector<SourceState> states = shown_states();
  for (const SourceView& s : view.sources) {
    for (SourceState state : states) {
      sample(out, "zal_ndi_source_state", s, s.state == state ? "1" : "0", state_name(state));
    }
  }
  family(out, {"zal_ndi_source_fps", "gauge", "Frames per second in the source's last status line."});
  for (const SourceView& s : view.sources) sample(out, "zal_ndi_source_fps", s, number(s.has_status ? s.fps : 0));
  family(out, {"zal_ndi_source_receivers", "gauge", "NDI receivers connected, from the last status line."});
  for (const SourceView& s : view.sources) {
    sample(out, "zal_ndi_source_receivers", s, std::to_string(s.has_status ? s.connections : 0));
  }
  family(out, {"zal_ndi_source_restarts_total", "counter", "Starts after the first, since the supervisor started."});
  for (const SourceView& s : view.sources) sample(out, "zal_ndi_source_restarts_total", s, std::to_string(s.restarts));
  family(out, {"zal_ndi_source_decoder_restarts_total", "counter",
               "Decoders started again inside its zal-ndi-send runs, since the supervisor started."});
  for (const SourceView& s : view.sources) {
    sample(out, "zal_ndi_source_decoder_restarts_total", s, std::to_string(s.decoder_restarts));
  }
  family(out, {"zal_ndi_source_since_start_seconds", "gauge",
               "Seconds since the source's zal-ndi-send was last started."});
  for (const SourceView& s : view.sources) {
    if (s.last_start_at == kNoTime) continue;  // never started: no value to give
    sample(out, "zal_ndi_source_since_start_seconds", s, number(seconds(now_ms - s.last_start_at).get<double>()));
  }
  return out.str();
}

namespace {

struct StateColour {
  SourceState state;
  const char* colour;
};

// Each state's colour on the page: its tile's edge and its badge.
const StateColour kColours[] = {
    {SourceState::kStarting, "#42a5f5"},
    {SourceState::kStreaming, "#43a047"},
    {SourceState::kNoSignal, "#f48fb1"},
    {SourceState::kStalled, "#ff9800"},
    {SourceState::kStopping, "#9e9e9e"},
    {SourceState::kWaiting, "#fdd835"},
    {SourceState::kHeld, "#ab47bc"},
    {SourceState::kGivenUp, "#e53935"},
};

// One class per state, named as the API names the state.
std::string state_classes() {
  std::string css;
  for (const StateColour& entry : kColours) {
    css += std::string(".") + state_name(entry.state) + " { --c: " + entry.colour + "; }\n";
  }
  return css;
}

std::string action_list() {
  json names = json::array();
  for (const ActionName& action : kActionNames) names.push_back(action.name);
  return names.dump();
}

void put(std::string* text, const std::string& mark, const std::string& value) {
  text->replace(text->find(mark), mark.size(), value);
}

std::string make_page() {
  std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zal-ndi-supervise</title>
<style>
:root { color-scheme: dark; font-family: system-ui, sans-serif; }
body { margin: 0; background: #15171a; color: #e8e8e8; }
header { display: flex; flex-wrap: wrap; gap: .5rem 1.5rem; align-items: baseline; padding: .8rem 1rem; background: #202328; }
header h1 { font-size: 1.1rem; margin: 0; }
#summary { color: #b0b4ba; }
#offline { color: #ff8a80; font-weight: 600; }
main { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(100%, 17rem), 1fr)); gap: .8rem; padding: 1rem; }
.tile { background: #23262b; border-radius: .5rem; border-left: .6rem solid var(--c); padding: .7rem .9rem; display: flex; flex-direction: column; gap: .5rem; min-width: 0; }
.top { display: flex; justify-content: space-between; gap: .5rem; align-items: baseline; }
.name { font-weight: 650; font-size: 1.05rem; overflow-wrap: anywhere; white-space: pre-wrap; }
.frame { position: relative; aspect-ratio: 16 / 9; background: #15171a; border-radius: .3rem; overflow: hidden; }
.frame img { display: block; width: 100%; height: 100%; object-fit: contain; }
.frame.none img { visibility: hidden; }
.frame.none::after { content: "no picture"; position: absolute; inset: 0; display: grid; place-items: center; color: #6b7078; font-size: .9rem; }
.message { margin: 0; padding: .45rem .6rem; border-radius: .3rem; background: #2d2a24; color: #ffe0b2; font-size: .92rem; line-height: 1.35; overflow-wrap: anywhere; white-space: pre-wrap; }
.state { background: var(--c); color: #111; border-radius: 1rem; padding: .1rem .6rem; font-size: .85rem; font-weight: 650; white-space: nowrap; }
dl { display: grid; grid-template-columns: auto 1fr; gap: .15rem .8rem; margin: 0; font-size: .92rem; }
dt { color: #9aa0a6; }
dd { margin: 0; overflow-wrap: anywhere; font-variant-numeric: tabular-nums; }
.buttons { display: flex; gap: .4rem; flex-wrap: wrap; }
button { flex: 1; min-height: 2.4rem; border: 1px solid #4a4f57; border-radius: .35rem; background: #30343a; color: inherit; font: inherit; cursor: pointer; }
button:hover { background: #3b4047; }
@STATES@</style>
</head>
<body>
<header><h1>zal-ndi-supervise</h1><span id="summary"></span><span id="offline" hidden>not reachable</span></header>
<main id="tiles"></main>
<script>
"use strict";
const tiles = document.getElementById("tiles");
const shown = new Map();

function duration(s) {
  if (s === null || s === undefined) return "\u2013";
  s = Math.floor(s);
  const h = Math.floor(s / 3600), m = Math.floor(s % 3600 / 60), r = s % 60;
  return h > 0 ? h + " h " + m + " min" : m > 0 ? m + " min " + r + " s" : r + " s";
}

function make(tag, cls, parent) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (parent) parent.appendChild(e);
  return e;
}

function act(name, action) {
  fetch("api/sources/" + encodeURIComponent(name) + "/" + action, {method: "POST"})
    .finally(refresh);
}

function tile(name) {
  const t = make("section", "tile");
  const top = make("div", "top", t);
  const n = make("span", "name", top);
  n.textContent = name;
  const parts = {tile: t, state: make("span", "state", top), values: {}};
  parts.frame = make("div", "frame none", t);
  parts.img = make("img", "", parts.frame);
  parts.img.alt = "";
  parts.message = make("p", "message", t);  // the decoder's words, while it does not stream
  parts.message.hidden = true;
  const dl = make("dl", "", t);
  for (const [key, label] of [["fps", "fps"], ["connections", "receivers"], ["restarts", "restarts"],
                              ["decoder_restarts", "decoder restarts"], ["last_reason", "last end"],
                              ["no_signal_reason", "slate"], ["since_s", "in state"]]) {
    make("dt", "", dl).textContent = label;
    parts.values[key] = make("dd", key, dl);
  }
  const buttons = make("div", "buttons", t);
  for (const action of @ACTIONS@) {
    const b = make("button", action, buttons);
    b.type = "button";
    b.textContent = action;
    b.addEventListener("click", () => act(name, action));
  }
  tiles.appendChild(t);
  return parts;
}

// Each tile's picture every 2 s, through fetch, which carries the page's credentials, shown
// as a blob URL. One after another: the server lets one client hold only a few connections.
async function pictures() {
  const began = Date.now();
  for (const [name, parts] of [...shown]) {
    try {
      const r = await fetch("api/sources/" + encodeURIComponent(name) + "/thumbnail.jpg", {cache: "no-store"});
      const blob = r.ok ? await r.blob() : null;
      if (shown.get(name) !== parts) continue;  // its tile went meanwhile
      if (parts.url) URL.revokeObjectURL(parts.url);
      parts.url = blob ? URL.createObjectURL(blob) : null;
      if (parts.url) parts.img.src = parts.url; else parts.img.removeAttribute("src");
      parts.frame.classList.toggle("none", !blob);
    } catch (e) {}
  }
  setTimeout(pictures, Math.max(0, 2000 - (Date.now() - began)));
}

function show(sources) {
  const names = new Set(sources.map(s => s.name));
  for (const [name, parts] of shown) {
    if (!names.has(name)) {
      parts.tile.remove();
      shown.delete(name);
      if (parts.url) URL.revokeObjectURL(parts.url);
    }
  }
  const counts = {};
  for (const s of sources) {
    let parts = shown.get(s.name);
    if (!parts) { parts = tile(s.name); shown.set(s.name, parts); }
    tiles.appendChild(parts.tile);  // keeps the file's order
    parts.tile.className = "tile " + s.state;
    parts.tile.dataset.state = s.state;
    let state = s.state.replace("_", " ");
    if (s.next_start_in_s !== undefined) state += " " + Math.ceil(s.next_start_in_s) + " s";
    parts.state.textContent = state;
    const v = parts.values;
    v.fps.textContent = s.fps === null ? "\u2013" : s.fps.toFixed(1);
    v.connections.textContent = s.connections === null ? "\u2013" : s.connections;
    v.restarts.textContent = s.restarts;
    v.decoder_restarts.textContent = s.decoder_restarts;
    v.no_signal_reason.textContent = s.no_signal_reason ? s.no_signal_reason : "\u2013";
    v.last_reason.textContent = s.last_reason === null ? "\u2013" : s.last_reason;
    v.since_s.textContent = duration(s.since_s);
    const words = s.state !== "streaming" && s.last_message ? s.last_message : "";
    parts.message.textContent = words;
    parts.message.hidden = !words;
    counts[s.state] = (counts[s.state] || 0) + 1;
  }
  document.getElementById("summary").textContent = sources.length + " sources: " +
    Object.entries(counts).map(([k, n]) => n + " " + k.replace("_", " ")).join(", ");
}

let timer = null;
function refresh() {
  clearTimeout(timer);
  fetch("api/sources", {cache: "no-store"})
    .then(r => { if (!r.ok) throw new Error(r.status); return r.json(); })
    .then(sources => { document.getElementById("offline").hidden = true; show(sources); })
    .catch(() => { document.getElementById("offline").hidden = false; })
    .finally(() => { timer = setTimeout(refresh, 2000); });
}
refresh();
pictures();
</script>
</body>
</html>
)PAGE";
  put(&page, "@STATES@", state_classes());
  put(&page, "@ACTIONS@", action_list());
  return page;
}

}  // namespace

// Names come from the file: the script puts them in as text (textContent), never as markup.
const std::string& status_page() {
  static const std::string page = make_page();
  return page;
}
