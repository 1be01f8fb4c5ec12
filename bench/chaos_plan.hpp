#pragma once
// The trials of the interruption test and their order. Every changing call
// of probe_deploy is held once with each signal; the random moments of a
// deployment and of a revert fill the rest of a round of 64. A round is
// shuffled with the seed, so that any first N trials are a varied sample,
// and the recovery rotates with the trial number. Half of the trials use
// --ec2_role default: all of those whose held call is an IAM one, and as many
// of the others, spread evenly, as make up the half.
#include <signal.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace qvn::chaos {

enum class Phase { Deploy, Revert };
enum class Recovery { Revert, DeployThenRevert, RevertTwice };

struct HeldCall {
  const char* service;
  const char* operation;
  Phase phase;
};

// Every changing call of a deployment and of a revert.
inline const std::vector<HeldCall>& heldCalls() {
  static const std::vector<HeldCall> calls = {
      {"ec2", "CreateSecurityGroup", Phase::Deploy},
      {"ec2", "AuthorizeSecurityGroupIngress", Phase::Deploy},
      {"ec2", "CreateKeyPair", Phase::Deploy},
      {"iam", "CreatePolicy", Phase::Deploy},
      {"iam", "CreateRole", Phase::Deploy},
      {"iam", "AttachRolePolicy", Phase::Deploy},
      {"iam", "CreateInstanceProfile", Phase::Deploy},
      {"iam", "AddRoleToInstanceProfile", Phase::Deploy},
      {"ec2", "RunInstances", Phase::Deploy},
      {"ec2", "AllocateAddress", Phase::Deploy},
      {"ec2", "AssociateAddress", Phase::Deploy},
      {"ec2", "TerminateInstances", Phase::Revert},
      {"ec2", "ReleaseAddress", Phase::Revert},
      {"ec2", "DeleteSecurityGroup", Phase::Revert},
      {"ec2", "DeleteKeyPair", Phase::Revert},
      {"iam", "RemoveRoleFromInstanceProfile", Phase::Revert},
      {"iam", "DeleteInstanceProfile", Phase::Revert},
      {"iam", "DetachRolePolicy", Phase::Revert},
      {"iam", "DeleteRole", Phase::Revert},
      {"iam", "DeletePolicy", Phase::Revert},
  };
  return calls;
}

// The lost-answer cases: every changing call of a deployment (with
// --ec2_role default and --s3_bucket) and of a revert, each of which has the
// answer of one of its calls dropped once by the sandbox (the call is carried
// out, its connection closed without an answer) and is retried by the client.
inline const std::vector<HeldCall>& lostAnswerCalls() {
  static const std::vector<HeldCall> calls = [] {
    std::vector<HeldCall> all = heldCalls();
    all.push_back({"s3", "PutObject", Phase::Deploy});
    return all;
  }();
  return calls;
}

struct Trial {
  int number = 0;               // from 1
  Phase phase = Phase::Deploy;  // the run that is interrupted
  std::string service;          // the held call; empty: a random moment
  std::string operation;
  double moment = 0;  // random moment, as a fraction of the phase's usual length
  int signal = SIGKILL;
  bool default_role = false;
  Recovery recovery = Recovery::Revert;

  bool held() const { return !operation.empty(); }
};

inline constexpr int kRound = 64;

inline const char* phaseName(Phase p) { return p == Phase::Deploy ? "deploy" : "revert"; }
inline const char* signalName(int s) { return s == SIGKILL ? "SIGKILL" : s == SIGTERM ? "SIGTERM" : "signal"; }
inline const char* recoveryName(Recovery r) {
  switch (r) {
    case Recovery::Revert:
      return "revert";
    case Recovery::DeployThenRevert:
      return "deploy, then revert";
    case Recovery::RevertTwice:
      return "revert, then revert again";
  }
  return "";
}

// One round: each held call with each signal, then random moments of both
// phases with both signals; shuffled.
inline std::vector<Trial> round(std::mt19937_64& rng) {
  std::vector<Trial> trials;
  for (const auto& call : heldCalls())
    for (int signal : {SIGKILL, SIGTERM}) {
      Trial t;
      t.phase = call.phase;
      t.service = call.service;
      t.operation = call.operation;
      t.signal = signal;
      trials.push_back(t);
    }
  std::uniform_real_distribution<double> moment(0.05, 0.95);
  for (int i = 0; static_cast<int>(trials.size()) < kRound; ++i) {
    Trial t;
    t.phase = i % 2 == 0 ? Phase::Deploy : Phase::Revert;
    t.signal = (i / 2) % 2 == 0 ? SIGKILL : SIGTERM;
    t.moment = moment(rng);
    trials.push_back(t);
  }
  std::shuffle(trials.begin(), trials.end(), rng);
  return trials;
}

inline std::vector<Trial> plan(int count, std::mt19937_64& rng) {
  std::vector<Trial> trials;
  while (static_cast<int>(trials.size()) < count) {
    for (auto& t : round(rng)) trials.push_back(t);
  }
  trials.resize(count);
  int forced = 0;
  for (int i = 0; i < count; ++i) {
    Trial& t = trials[i];
    t.number = i + 1;
    t.recovery = static_cast<Recovery>(i % 3);
    t.default_role = t.service == "iam";
    forced += t.default_role;
  }
  // The others, spread evenly, until half of all use the default role.
  const int free = count - forced;
  const int wanted = std::max(0, (count + 1) / 2 - forced);
  for (int i = 0, k = 0; i < count; ++i) {
    if (trials[i].service == "iam") continue;
    trials[i].default_role = free > 0 && (k + 1) * wanted / free > k * wanted / free;
    ++k;
  }
  return trials;
}

}  // namespace qvn::chaos
