#pragma once
// Holds: a chosen AWS operation is kept waiting for a while before the
// sandbox carries it out, so that a test can interrupt the caller exactly
// while its request is in flight. The request is carried out when the hold
// ends whether or not the caller is still there to read the answer, as AWS
// carries out a request whose answer never reaches its caller.
//
//   POST /_sandbox/holds    {"service": "ec2", "operation": "RunInstances", "seconds": 20, "count": 1}
//                           (one rule, a list, or {"holds": [...], "replace": true})
//   GET /_sandbox/holds     the rules, the requests held or being carried out
//                           now, and how many were held per operation
//   DELETE /_sandbox/holds  forgets the rules and lets every held request go on at once
//
// `seconds` are sandbox seconds (multiplied by QUORVANE_TIME_SCALE);
// `count` holds the next N matching calls, -1 (the default) every one.
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service.hpp"

namespace httplib {
class Server;
}

namespace qvn::sandbox {

struct HoldRule {
  std::string service = "*";    // signing name or "*"
  std::string operation = "*";  // API operation or "*"
  double seconds = 0;           // sandbox seconds
  int remaining = -1;           // holds left; -1: no limit
};

// Parses one rule of the control API; throws std::invalid_argument with a
// one-line reason.
HoldRule parse_hold(const Json& j);
Json hold_json(const HoldRule& rule);

class HoldBoard {
 public:
  // A call that a rule matched, from its hold until it has been carried
  // out: while it lives the call is listed as in progress. An empty pass
  // stands for a call that no rule held.
  class Pass {
   public:
    Pass() = default;
    Pass(HoldBoard* board, long id) : board_(board), id_(id) {}
    Pass(Pass&& other) noexcept : board_(std::exchange(other.board_, nullptr)), id_(other.id_) {}
    Pass& operator=(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass();
    bool held() const { return board_ != nullptr; }

   private:
    HoldBoard* board_ = nullptr;
    long id_ = 0;
  };

  HoldBoard() = default;
  HoldBoard(const HoldBoard&) = delete;
  HoldBoard& operator=(const HoldBoard&) = delete;

  void add(HoldRule rule);
  // Forgets the rules and the counts, and ends every hold now; the calls
  // held so far go on to be carried out.
  void release_all();
  std::vector<HoldRule> rules() const;
  // {"holds": [rules], "in_progress": [{"service", "operation",
  // "request_id", "state": "held"|"carrying out"}], "held": [{"service",
  // "operation", "count"}]} (counts since the last release_all).
  Json status() const;

  // Waits as long as the first rule matching the call says (scaled by the
  // time scale), or until release_all; returns at once when none matches.
  Pass hold(const std::string& service, const std::string& operation, const std::string& request_id);

 private:
  struct InProgress {
    std::string service, operation, request_id;
    bool released = false;
  };
  void finish(long id);

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<HoldRule> rules_;
  std::map<long, InProgress> in_progress_;
  std::map<std::pair<std::string, std::string>, int> held_counts_;
  long next_id_ = 1;
  long generation_ = 0;  // raised by release_all
};

// Mounts the control endpoints of the holds on `server`. `check` refuses
// (std::invalid_argument) a rule naming a service or an operation that the
// sandbox does not answer.
void mount_hold_control(httplib::Server& server, HoldBoard& board, std::function<void(const HoldRule&)> check);

}  // namespace qvn::sandbox
