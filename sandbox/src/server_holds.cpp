#include "server_holds.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include <httplib.h>

#include "core/clock.hpp"

namespace qvn::sandbox {

namespace {

// One server thread waits per held call: an hour of sandbox time is more
// than any test needs and bounds a typing error.
constexpr double kMaxHoldSeconds = 3600;

std::string text_member(const Json& j, const char* name) {
  if (!j.contains(name)) return "*";
  if (!j[name].is_string() || j[name].get<std::string>().empty())
    throw std::invalid_argument(std::string("\"") + name + "\" is a non-empty text");
  return j[name].get<std::string>();
}

void reply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(2) + "\n", "application/json");
}

}  // namespace

HoldRule parse_hold(const Json& j) {
  if (!j.is_object()) throw std::invalid_argument("a hold is a JSON object");
  for (const auto& [name, value] : j.items())
    if (name != "service" && name != "operation" && name != "seconds" && name != "count")
      throw std::invalid_argument("unknown member \"" + name + "\" of a hold");
  HoldRule r;
  r.service = text_member(j, "service");
  r.operation = text_member(j, "operation");
  if (!j.contains("seconds") || !j["seconds"].is_number())
    throw std::invalid_argument("a hold needs \"seconds\", a number");
  r.seconds = j["seconds"].get<double>();
  if (!(r.seconds > 0 && r.seconds <= kMaxHoldSeconds))
    throw std::invalid_argument("\"seconds\" of a hold is above 0 and at most 3600");
  if (j.contains("count")) {
    if (!j["count"].is_number_integer()) throw std::invalid_argument("\"count\" is a whole number");
    const auto count = j["count"].get<long long>();
    if (count != -1 && (count < 1 || count > 1000000))
      throw std::invalid_argument("\"count\" is -1 (every call) or between 1 and 1000000");
    r.remaining = static_cast<int>(count);
  }
  return r;
}

Json hold_json(const HoldRule& r) {
  return {{"service", r.service}, {"operation", r.operation}, {"seconds", r.seconds}, {"count", r.remaining}};
}

// ---- passes ------------------------------------------------------------------

HoldBoard::Pass& HoldBoard::Pass::operator=(Pass&& other) noexcept {
  if (this != &other) {
    if (board_) board_->finish(id_);
    board_ = std::exchange(other.board_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

HoldBoard::Pass::~Pass() {
  if (board_) board_->finish(id_);
}

// ---- the board ---------------------------------------------------------------

void HoldBoard::add(HoldRule rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(std::move(rule));
}

void HoldBoard::release_all() {
  {
    std::lock_guard lock(mutex_);
    rules_.clear();
    held_counts_.clear();
    ++generation_;
    for (auto& [id, call] : in_progress_) call.released = true;
  }
  released_.notify_all();
}

std::vector<HoldRule> HoldBoard::rules() const {
  std::lock_guard lock(mutex_);
  return rules_;
}

Json HoldBoard::status() const {
  std::lock_guard lock(mutex_);
  Json rules = Json::array();
  for (const auto& r : rules_) rules.push_back(hold_json(r));
  Json now = Json::array();
  for (const auto& [id, call] : in_progress_)
    now.push_back({{"service", call.service},
                   {"operation", call.operation},
                   {"request_id", call.request_id},
                   {"state", call.released ? "carrying out" : "held"}});
  Json counts = Json::array();
  for (const auto& [key, count] : held_counts_)
    counts.push_back({{"service", key.first}, {"operation", key.second}, {"count", count}});
  return {{"holds", rules}, {"in_progress", now}, {"held", counts}};
}

HoldBoard::Pass HoldBoard::hold(const std::string& service, const std::string& operation,
                                const std::string& request_id) {
  std::unique_lock lock(mutex_);
  auto rule = std::find_if(rules_.begin(), rules_.end(), [&](const HoldRule& r) {
    return (r.service == "*" || r.service == service) && (r.operation == "*" || r.operation == operation);
  });
  if (rule == rules_.end()) return Pass();
  const double seconds = rule->seconds * core::time_scale();
  if (rule->remaining > 0 && --rule->remaining == 0) rules_.erase(rule);
  const long id = next_id_++;
  in_progress_[id] = InProgress{service, operation, request_id, false};
  ++held_counts_[{service, operation}];
  const long generation = generation_;
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(core::Seconds(seconds));
  released_.wait_until(lock, until, [&] { return generation_ != generation; });
  in_progress_[id].released = true;
  return Pass(this, id);
}

void HoldBoard::finish(long id) {
  std::lock_guard lock(mutex_);
  in_progress_.erase(id);
}

// ---- control endpoints ---------------------------------------------------------

void mount_hold_control(httplib::Server& server, HoldBoard& board, std::function<void(const HoldRule&)> check) {
  server.Get("/_sandbox/holds",
             [&board](const httplib::Request&, httplib::Response& res) { reply(res, 200, board.status()); });
  server.Post("/_sandbox/holds", [&board, check](const httplib::Request& req, httplib::Response& res) {
    try {
      const Json body = Json::parse(req.body);
      const bool wrapped = body.is_object() && body.contains("holds");
      const Json list = wrapped ? body["holds"] : body.is_array() ? body : Json::array({body});
      if (!list.is_array()) throw std::invalid_argument("\"holds\" is a list");
      std::vector<HoldRule> rules;
      for (const auto& j : list) {
        rules.push_back(parse_hold(j));
        check(rules.back());
      }
      if (wrapped && body.value("replace", false)) board.release_all();
      for (auto& r : rules) board.add(std::move(r));
      reply(res, 200, {{"added", rules.size()}});
    } catch (const std::exception& e) {
      reply(res, 400, {{"error", e.what()}});
    }
  });
  server.Delete("/_sandbox/holds", [&board](const httplib::Request&, httplib::Response& res) {
    board.release_all();
    reply(res, 200, {{"released", true}});
  });
}

}  // namespace qvn::sandbox
