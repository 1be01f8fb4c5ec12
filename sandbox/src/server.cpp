#include "server.hpp"

#include <sys/socket.h>

#include <httplib.h>
#include <algorithm>

#include "core/clock.hpp"
#include "ec2_support.hpp"
#include "scenario.hpp"
#include "server_auth.hpp"
#include "server_holds.hpp"

namespace qvn::sandbox {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string url_decode(const std::string& s, bool plus_is_space) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else if (s[i] == '+' && plus_is_space) {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

Pairs parse_pairs(const std::string& text) {
  Pairs out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t amp = text.find('&', start);
    std::string item = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos)
        out.emplace_back(url_decode(item, true), "");
      else
        out.emplace_back(url_decode(item.substr(0, eq), true), url_decode(item.substr(eq + 1), true));
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return out;
}

std::string first(const Pairs& pairs, const std::string& name) {
  for (const auto& [k, v] : pairs)
    if (k == name) return v;
  return {};
}

bool has(const Pairs& pairs, const std::string& name) {
  return std::any_of(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == name; });
}

// The service of a request without a signature, from what its body says.
std::string guess_service(const std::map<std::string, std::string>& headers, const Pairs& form) {
  auto target = headers.find("x-amz-target");
  if (target != headers.end() && target->second.starts_with("AmazonSSM.")) return "ssm";
  const std::string version = first(form, "Version");
  if (version == "2016-11-15") return "ec2";
  if (version == "2010-05-08") return "iam";
  if (version == "2011-06-15") return "sts";
  return "s3";
}

const std::set<std::string>& secret_names() {
  static const std::set<std::string> names = {"secretaccesskey", "sessiontoken",     "password",  "newpassword",
                                              "oldpassword",     "webidentitytoken", "tokencode", "samlassertion",
                                              "privatekey",      "keymaterial",      "secretkey", "securitytoken"};
  return names;
}

bool is_secret(const std::string& name) {
  std::string last = name.substr(name.find_last_of('.') == std::string::npos ? 0 : name.find_last_of('.') + 1);
  return secret_names().count(lower(last)) > 0;
}

void redact_json(Json& j, bool top_level_value) {
  if (!j.is_object()) return;
  for (auto& [k, v] : j.items()) {
    if (is_secret(k) || (top_level_value && k == "Value"))
      v = "<redacted>";
    else if (v.is_object())
      redact_json(v, false);
  }
}

// Raises the accept backlog of the listening socket bound to `port` (the
// HTTP library listens with a small one).
void raise_backlog(int port, int backlog) {
  for (const PortSocket& socket : sockets_on_port(port))
    if (socket.listening) listen(socket.fd, backlog);
}

// Limits on what a request may be, checked before its body is read.
constexpr size_t kMaxBody = 256u * 1024 * 1024;
constexpr size_t kMaxHeaders = 256;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

// A refusal of the HTTP layer: an XML error document, and the connection is
// closed after it (whatever of the request is still unread cannot be trusted
// to end where it says).
void refuse_http(httplib::Response& res, int status, const std::string& code, const std::string& message) {
  res.status = status;
  res.set_header("Connection", "close");
  res.set_content("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + code + "</Code><Message>" + message +
                      "</Message></Error>",
                  "application/xml");
}

// Refuses a request whose headers no AWS front end would take: a
// Content-Length that is not a plain decimal number, a body beyond the
// limit, too many or too large headers. Without this the HTTP layer would
// try to skip an absurd body byte by byte until its read time-out.
bool refuse_malformed(const httplib::Request& req, httplib::Response& res) {
  size_t header_bytes = 0;
  for (const auto& [k, v] : req.headers) header_bytes += k.size() + v.size() + 4;
  if (req.headers.size() > kMaxHeaders || header_bytes > kMaxHeaderBytes) {
    refuse_http(res, 400, "RequestHeaderSectionTooLarge",
                "Your request header section exceeds the maximum allowed size.");
    return true;
  }
  const auto lengths = req.headers.count("Content-Length");
  if (lengths == 0) return false;
  const std::string text = req.get_header_value("Content-Length");
  bool digits = lengths == 1 && !text.empty() && text.size() <= 19;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    refuse_http(res, 400, "BadRequest", "The Content-Length header is not a valid length.");
    return true;
  }
  if (std::stoull(text) > kMaxBody) {
    refuse_http(res, 413, "RequestEntityTooLarge", "The request body is larger than the sandbox accepts.");
    return true;
  }
  return false;
}

void reply_json(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(2) + "\n", "application/json");
}

}  // namespace

// ---- request log -----------------------------------------------------------

void RequestLog::add(Json entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
  while (entries_.size() > capacity_) entries_.pop_front();
}

Json RequestLog::entries(const std::string& service, const std::string& operation) const {
  std::lock_guard lock(mutex_);
  Json out = Json::array();
  for (const auto& e : entries_) {
    if (!service.empty() && e.value("service", std::string()) != service) continue;
    if (!operation.empty() && e.value("operation", std::string()) != operation) continue;
    out.push_back(e);
  }
  return out;
}

size_t RequestLog::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

Json loggable_parameters(const AwsCall& call) {
  if (call.service == "ssm" || (!call.body.empty() && call.body.front() == '{' && call.form.empty())) {
    Json body = Json::parse(call.body, nullptr, false);
    if (body.is_discarded()) return Json::object();
    redact_json(body, true);
    return body;
  }
  Json out = Json::object();
  const Pairs& source = call.form.empty() ? call.query : call.form;
  for (const auto& [k, v] : source) {
    if (k == "Action" || k == "Version") continue;
    out[k] = is_secret(k) ? std::string("<redacted>") : v;
  }
  return out;
}

std::string s3_operation(const std::string& method, const std::string& path, const Pairs& query) {
  std::string rest = path.size() > 1 ? path.substr(1) : std::string();
  const size_t slash = rest.find('/');
  const bool has_key = slash != std::string::npos && slash + 1 < rest.size();
  if (rest.empty()) return method == "GET" ? "ListBuckets" : method;
  if (!has_key) {
    if (method == "GET") {
      if (has(query, "location")) return "GetBucketLocation";
      return first(query, "list-type") == "2" ? "ListObjectsV2" : "ListObjects";
    }
    if (method == "PUT") return "CreateBucket";
    if (method == "DELETE") return "DeleteBucket";
    if (method == "HEAD") return "HeadBucket";
    if (method == "POST" && has(query, "delete")) return "DeleteObjects";
    return method;
  }
  if (method == "GET") return "GetObject";
  if (method == "PUT") return has(query, "partNumber") ? "UploadPart" : "PutObject";
  if (method == "DELETE") return "DeleteObject";
  if (method == "HEAD") return "HeadObject";
  return method;
}

// ---- server ----------------------------------------------------------------

SandboxServer::SandboxServer(ServerOptions options) : options_(options), http_(std::make_unique<httplib::Server>()) {
  const size_t threads = static_cast<size_t>(std::max(options_.threads, 8));
  http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  keep_connections_fast(*http_);
  http_->set_read_timeout(30);
  http_->set_write_timeout(30);
  http_->set_payload_max_length(kMaxBody);
  http_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (refuse_malformed(req, res)) return httplib::Server::HandlerResponse::Handled;
    // A request with neither Content-Length nor Transfer-Encoding has no
    // body (RFC 9112, 6.3), as a bare `curl -X POST` sends it; the HTTP
    // library would wait for one until the connection closes. The request
    // is the server's own, not a constant: the length is stated for it.
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
      const_cast<httplib::Request&>(req).headers.emplace("Content-Length", "0");
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

SandboxServer::~SandboxServer() { stop(); }

void SandboxServer::add_service(std::unique_ptr<Service> service) {
  const std::string name = service->name();
  services_[name] = std::move(service);
}

httplib::Server& SandboxServer::http() { return *http_; }

void SandboxServer::load_scenario(const Json& scenario) {
  std::lock_guard lock(scenario_mutex_);
  check_scenario(scenario);
  const Json previous = world_.scenario;
  try {
    apply_scenario(scenario);
  } catch (...) {
    if (previous.is_object() && !previous.empty()) {
      try {
        apply_scenario(previous);
      } catch (const std::exception&) {
        // It loaded before; nothing better to go back to.
      }
    }
    throw;
  }
}

FaultRule SandboxServer::checked_fault(const Json& rule) const {
  FaultRule f = parse_fault(rule);
  check_operation(f.service, f.operation);
  return f;
}

void SandboxServer::check_operation(const std::string& service, const std::string& operation) const {
  if (service != "*" && !services_.count(service)) throw std::invalid_argument("unknown service \"" + service + "\"");
  if (operation == "*") return;
  for (const auto& [name, svc] : services_)
    if ((service == "*" || service == name) && svc->has_operation(operation)) return;
  throw std::invalid_argument("unknown operation \"" + operation + "\"" +
                              (service == "*" ? std::string() : " of " + service));
}

void SandboxServer::apply_scenario(const Json& scenario) {
  std::vector<FaultRule> faults;
  for (const auto& f : scenario.value("faults", Json::array())) faults.push_back(checked_fault(f));
  world_.keys.clear();
  world_.set_scenario(scenario);
  register_scenario_keys(scenario, world_.keys);
  // IAM first: other services may ask it about instance profiles.
  if (auto it = services_.find("iam"); it != services_.end()) it->second->load(scenario, world_);
  for (auto& [name, svc] : services_)
    if (name != "iam") svc->load(scenario, world_);
  faults_.clear();
  for (auto& f : faults) faults_.add(std::move(f));
  holds_.release_all();
  limiter_.reset();
  if (scenario.contains("rate_limits")) limiter_.configure(scenario["rate_limits"]);
}

void SandboxServer::reset() {
  Json scenario;
  {
    std::lock_guard lock(scenario_mutex_);
    scenario = world_.scenario;
  }
  load_scenario(scenario);
  log_.clear();
}

int SandboxServer::start(int port) {
  mount_control();
  // Everything not mounted before is an AWS request (or unknown). Registered
  // last, so the control API and the plain-HTTP stand-ins match first.
  auto aws = [this](const httplib::Request& req, httplib::Response& res) {
    if (is_aws_request(req)) {
      serve_aws(req, res);
    } else {
      res.status = 404;
      res.set_content("not found\n", "text/plain");
    }
  };
  http_->Get(".*", aws);
  http_->Post(".*", aws);
  http_->Put(".*", aws);
  http_->Delete(".*", aws);
  http_->Patch(".*", aws);
  if (port == 0) {
    port_ = http_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  } else {
    if (!http_->bind_to_port("127.0.0.1", port))
      throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    port_ = port;
  }
  raise_backlog(port_, options_.backlog);
  listener_ = std::thread([this] { http_->listen_after_bind(); });
  // stop() only reaches a server that has entered its accept loop.
  for (int i = 0; i < 5000 && !http_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port_;
}

void SandboxServer::stop() {
  holds_.release_all();  // a held call would keep its server thread, and the stop, waiting
  if (http_) http_->stop();
  shut_down_connections(port_);  // idle kept-alive connections end now, not at their time-out
  if (listener_.joinable()) listener_.join();
}

bool SandboxServer::is_aws_request(const httplib::Request& req) const {
  if (req.path.starts_with("/_sandbox/")) return false;
  if (req.get_header_value("Authorization").rfind("AWS4-HMAC-SHA256", 0) == 0) return true;
  // Unsigned AWS calls (STS AssumeRoleWithWebIdentity is sent so).
  return req.method == "POST" && req.path == "/" &&
         (req.has_header("X-Amz-Target") || req.body.find("Action=") != std::string::npos);
}

void SandboxServer::serve_aws(const httplib::Request& req, httplib::Response& res) {
  AwsCall call;
  call.method = req.method;
  const size_t q = req.target.find('?');
  call.raw_path = req.target.substr(0, q);
  const std::string raw_query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
  call.path = url_decode(call.raw_path, false);
  call.query = parse_pairs(raw_query);
  call.body = req.body;
  std::vector<std::pair<std::string, std::string>> raw_headers;
  for (const auto& [k, v] : req.headers) {
    if (k == "REMOTE_ADDR" || k == "REMOTE_PORT" || k == "LOCAL_ADDR" || k == "LOCAL_PORT") continue;
    raw_headers.emplace_back(k, v);
    auto& slot = call.headers[lower(k)];
    slot = slot.empty() ? v : slot + "," + v;
  }
  if (lower(req.get_header_value("Content-Type")).rfind("application/x-www-form-urlencoded", 0) == 0)
    call.form = parse_pairs(req.body);
  thread_local ec2::IdMaker ids;
  call.request_id = ids.uuid();

  Service* service = nullptr;
  std::optional<ApiError> refusal;
  const auto auth = parse_authorization(req.get_header_value("Authorization"));
  if (auth) {
    call.service = auth->service;
    call.region = auth->region;
    call.access_key = auth->access_key;
  } else {
    call.service = guess_service(call.headers, call.form);
    call.region = world_.scenario_text("region", "us-east-1");
  }
  if (auto it = services_.find(call.service); it != services_.end()) service = it->second.get();

  // The operation, as each protocol names it.
  if (call.service == "s3") {
    call.operation = s3_operation(call.method, call.path, call.query);
  } else if (auto t = call.headers.find("x-amz-target"); t != call.headers.end()) {
    call.operation = t->second.substr(t->second.find('.') + 1);
  } else {
    call.operation = call.param("Action");
  }

  const Clock::time_point now = core::now();
  if (!service) {
    refusal.emplace(400, "UnknownService", "The sandbox has no service '" + call.service + "'");
  } else if (auth) {
    try {
      SignedRequest signed_request{call.method, call.raw_path, raw_query, raw_headers, call.body};
      const Identity who = verify_request(signed_request, *auth, world_.keys, now);
      call.account_id = who.account_id;
      call.caller_arn = who.arn;
    } catch (const ApiError& e) {
      refusal.emplace(e);
    }
  } else if (!(call.service == "sts" && call.operation == "AssumeRoleWithWebIdentity")) {
    refusal.emplace(missing_authentication(call.service));
  }

  if (!refusal && !limiter_.admit(call.service, call.account_id, call.region, call.operation, now))
    refusal.emplace(503, "RequestLimitExceeded", "Request limit exceeded.");
  const bool dry_run = call.service == "ec2" && ec2::bool_param(call, "DryRun").value_or(false);
  bool drop_answer = false;
  if (!refusal) {
    auto decision = faults_.decide(call.service, call.operation, dry_run);
    if (decision.latency_ms > 0) core::sleep_for(core::Seconds(decision.latency_ms / 1000.0));
    if (decision.error) refusal = decision.error;
    drop_answer = decision.drop_answer && !refusal;
  }
  // A held call is carried out after its hold, whether or not its caller
  // still waits. An EC2 DryRun changes nothing, so there is nothing to hold.
  const HoldBoard::Pass pass =
      refusal || dry_run ? HoldBoard::Pass() : holds_.hold(call.service, call.operation, call.request_id);

  AwsReply reply;
  std::string error_code;
  if (refusal) {
    error_code = refusal->code;
    if (service) {
      reply = service->render_error(*refusal, call.request_id);
    } else {
      reply.status = refusal->status;
      reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + refusal->code + "</Code><Message>" +
                   ec2::xml_escape(refusal->what()) + "</Message></Error>";
    }
  } else {
    try {
      reply = service->handle(call);
    } catch (const ApiError& e) {
      error_code = e.code;
      reply = service->render_error(e, call.request_id);
    } catch (const std::exception& e) {
      error_code = "InternalError";
      reply = service->render_error(
          ApiError(500, "InternalError", "We encountered an internal error. Please try again."), call.request_id);
      std::fprintf(stderr, "qvn-sandbox: %s %s failed: %s\n", call.service.c_str(), call.operation.c_str(), e.what());
    }
  }

  Json entry = {{"time", ec2::iso_time(now)},    {"request_id", call.request_id},
                {"service", call.service},       {"operation", call.operation},
                {"region", call.region},         {"access_key", call.access_key},
                {"account_id", call.account_id}, {"parameters", loggable_parameters(call)},
                {"status", reply.status}};
  if (call.service == "s3") entry["path"] = call.path;
  if (!error_code.empty()) entry["error_code"] = error_code;
  if (pass.held()) entry["held"] = true;
  if (drop_answer) entry["answer_dropped"] = true;
  log_.add(std::move(entry));
  if (drop_answer) {
    // Carried out, and its answer lost on the way: the connection ends before
    // a status line is written.
    drop_connection(port_, req.remote_port);
    return;
  }

  res.status = reply.status;
  bool has_request_id = false;
  for (const auto& [k, v] : reply.headers) {
    res.set_header(k.c_str(), v);
    has_request_id = has_request_id || lower(k) == "x-amzn-requestid" || lower(k) == "x-amz-request-id";
  }
  if (!has_request_id) res.set_header(call.service == "s3" ? "x-amz-request-id" : "x-amzn-RequestId", call.request_id);
  res.set_content(reply.body, reply.content_type.c_str());
}

// ---- control API -----------------------------------------------------------

Json SandboxServer::state() const {
  Json services = Json::object();
  for (const auto& [name, svc] : services_) services[name] = svc->dump();
  Json faults = Json::array();
  for (const auto& f : faults_.rules()) faults.push_back(fault_json(f));
  std::lock_guard lock(scenario_mutex_);
  return {{"scenario", world_.scenario.value("name", std::string())},
          {"account_id", world_.scenario.value("account_id", std::string())},
          {"region", world_.scenario.value("region", std::string())},
          {"services", services},
          {"faults", faults},
          {"rate_limits", limiter_.config()},
          {"requests_logged", log_.size()}};
}

void SandboxServer::mount_control() {
  auto& h = *http_;
  h.Get("/_sandbox/state", [this](const httplib::Request&, httplib::Response& res) { reply_json(res, 200, state()); });
  h.Get("/_sandbox/requests", [this](const httplib::Request& req, httplib::Response& res) {
    reply_json(res, 200,
               {{"requests", log_.entries(req.get_param_value("service"), req.get_param_value("operation"))}});
  });
  h.Delete("/_sandbox/requests", [this](const httplib::Request&, httplib::Response& res) {
    log_.clear();
    reply_json(res, 200, {{"cleared", true}});
  });
  h.Post("/_sandbox/scenario", [this](const httplib::Request& req, httplib::Response& res) {
    try {
      Json body = Json::parse(req.body);
      if (body.is_object() && body.contains("file") && body.size() == 1)
        body = load_scenario_file(body["file"].get<std::string>());
      load_scenario(body);
      log_.clear();
      reply_json(res, 200, {{"loaded", body.value("name", std::string())}});
    } catch (const std::exception& e) {
      reply_json(res, 400, {{"error", e.what()}});
    }
  });
  h.Post("/_sandbox/reset", [this](const httplib::Request&, httplib::Response& res) {
    try {
      reset();
      reply_json(res, 200, {{"reset", true}});
    } catch (const std::exception& e) {
      reply_json(res, 500, {{"error", e.what()}});
    }
  });
  h.Get("/_sandbox/faults", [this](const httplib::Request&, httplib::Response& res) {
    Json faults = Json::array();
    for (const auto& f : faults_.rules()) faults.push_back(fault_json(f));
    reply_json(res, 200, {{"faults", faults}});
  });
  h.Post("/_sandbox/faults", [this](const httplib::Request& req, httplib::Response& res) {
    try {
      const Json body = Json::parse(req.body);
      std::vector<FaultRule> rules;
      if (body.is_object() && body.contains("faults")) {
        for (const auto& f : body["faults"]) rules.push_back(checked_fault(f));
      } else if (body.is_array()) {
        for (const auto& f : body) rules.push_back(checked_fault(f));
      } else {
        rules.push_back(checked_fault(body));
      }
      if (body.is_object() && body.value("replace", false)) faults_.clear();
      for (auto& r : rules) faults_.add(std::move(r));
      reply_json(res, 200, {{"added", rules.size()}});
    } catch (const std::exception& e) {
      reply_json(res, 400, {{"error", e.what()}});
    }
  });
  h.Delete("/_sandbox/faults", [this](const httplib::Request&, httplib::Response& res) {
    faults_.clear();
    reply_json(res, 200, {{"cleared", true}});
  });
  mount_hold_control(h, holds_, [this](const HoldRule& r) { check_operation(r.service, r.operation); });
  h.Get("/_sandbox/rate-limits",
        [this](const httplib::Request&, httplib::Response& res) { reply_json(res, 200, limiter_.config()); });
  h.Post("/_sandbox/rate-limits", [this](const httplib::Request& req, httplib::Response& res) {
    try {
      limiter_.configure(Json::parse(req.body));
      reply_json(res, 200, limiter_.config());
    } catch (const std::exception& e) {
      reply_json(res, 400, {{"error", e.what()}});
    }
  });
}

}  // namespace qvn::sandbox
