#include "sts.hpp"

#include "core/clock.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {

namespace {

const char* kXmlns = "https://sts.amazonaws.com/doc/2011-06-15/";

std::string required(const AwsCall& call, const std::string& name, const std::string& member) {
  if (!call.has_param(name))
    throw validation("1 validation error detected: Value null at '" + member +
                     "' failed to satisfy constraint: Member must not be null");
  return call.param(name);
}

void check_session_name(const std::string& value) {
  bool ok = value.size() >= 2 && value.size() <= 64;
  for (unsigned char c : value)
    if (!(std::isalnum(c) || std::string_view("_+=,.@-").find(static_cast<char>(c)) != std::string_view::npos))
      ok = false;
  if (!ok)
    throw validation("1 validation error detected: Value '" + value +
                     "' at 'roleSessionName' failed to satisfy constraint: Member must satisfy regular "
                     "expression pattern: [\\w+=,.@-]* and have length between 2 and 64");
}

// A stable unique id for a role ARN, as AWS keeps one per role.
std::string role_id(const std::string& arn) {
  std::string h = sha256_hex(arn);
  std::string id = "AROA";
  for (std::size_t i = 0; i < 17; ++i) id += kUpperAlnum[static_cast<unsigned char>(h[i]) % 36];
  return id;
}

}  // namespace

RoleArn parse_role_arn(const std::string& arn) {
  // arn:aws:iam::<account>:role/<path/><name>
  const std::string head = "arn:aws:iam::";
  auto colon = arn.find(':', head.size());
  if (!arn.starts_with(head) || colon == std::string::npos || arn.compare(colon, 6, ":role/") != 0 || arn.size() < 20 ||
      arn.size() > 2048)
    throw validation("1 validation error detected: Value '" + arn +
                     "' at 'roleArn' failed to satisfy constraint: Member must be a valid role ARN");
  RoleArn out;
  out.account_id = arn.substr(head.size(), colon - head.size());
  out.name = arn.substr(arn.rfind('/') + 1);
  if (out.name.empty()) throw validation("Invalid role ARN: " + arn);
  return out;
}

TemporaryCredentials issue_temporary_credentials(KeyRegistry& keys, const std::string& account_id,
                                                 const std::string& arn, std::chrono::seconds lifetime) {
  TemporaryCredentials c;
  c.access_key = "ASIA" + random_chars(16, kUpperAlnum);
  c.secret_key = random_chars(40, kBase64Chars);
  c.session_token = "IQoJb3JpZ2luX2Vj" + random_chars(340, kBase64Chars) + "=";
  // AWS states expirations to the second.
  c.expiration = std::chrono::time_point_cast<std::chrono::seconds>(core::now()) + lifetime;
  Identity id;
  id.access_key = c.access_key;
  id.secret_key = c.secret_key;
  id.session_token = c.session_token;
  id.account_id = account_id;
  id.arn = arn;
  id.expires = c.expiration;
  keys.add(id);
  return c;
}

AwsReply StsService::render_error(const ApiError& error, const std::string& request_id) const {
  return render_query_error(error, request_id, kXmlns);
}

AwsReply StsService::handle(const AwsCall& call) {
  std::string action = call.operation.empty() ? call.param("Action") : call.operation;
  if (action == "AssumeRole") return assume_role(call, false);
  if (action == "AssumeRoleWithWebIdentity") return assume_role(call, true);
  if (action == "GetCallerIdentity") return get_caller_identity(call);
  if (action == "DecodeAuthorizationMessage") return decode_authorization_message(call);
  throw ApiError(400, "InvalidAction", "Could not find operation " + action + " for version 2011-06-15");
}

bool StsService::trusts(const AssumableRole& role, const AwsCall& call) const {
  // A caller in an assumed role is the role itself as a trust principal.
  std::string caller_role_arn;
  const std::string marker = ":assumed-role/";
  auto pos = call.caller_arn.find(marker);
  if (pos != std::string::npos) {
    std::string rest = call.caller_arn.substr(pos + marker.size());
    caller_role_arn = "arn:aws:iam::" + call.account_id + ":role/" + rest.substr(0, rest.find('/'));
  }
  for (const auto& t : role.trusted)
    if (t == "*" || t == call.account_id || t == "arn:aws:iam::" + call.account_id + ":root" || t == call.caller_arn ||
        (!caller_role_arn.empty() && t == caller_role_arn))
      return true;
  return false;
}

AwsReply StsService::assume_role(const AwsCall& call, bool web_identity) {
  const std::string op = web_identity ? "AssumeRoleWithWebIdentity" : "AssumeRole";
  std::string arn = required(call, "RoleArn", "roleArn");
  std::string session = required(call, "RoleSessionName", "roleSessionName");
  std::string token;
  if (web_identity) {
    token = required(call, "WebIdentityToken", "webIdentityToken");
    if (token.size() < 4 || token.size() > 20000)
      throw validation(
          "1 validation error detected: Value at 'webIdentityToken' failed to satisfy constraint: "
          "Member must have length between 4 and 20000");
  }
  check_session_name(session);
  RoleArn role_arn = parse_role_arn(arn);
  int duration = 3600;
  if (call.has_param("DurationSeconds")) {
    try {
      duration = std::stoi(call.param("DurationSeconds"));
    } catch (const std::exception&) {
      duration = 0;
    }
    if (duration < 900 || duration > 43200)
      throw validation("1 validation error detected: Value '" + call.param("DurationSeconds") +
                       "' at 'durationSeconds' failed to satisfy constraint: Member must have value between "
                       "900 and 43200");
  }

  std::lock_guard lock(mutex_);
  if (!world_) throw ApiError(500, "ServiceFailure", "The service is not ready.");
  auto it = roles_.find(arn);
  std::string who = web_identity ? "An identity" : "User: " + call.caller_arn;
  if (it == roles_.end() || (web_identity ? !it->second.web_identity : !trusts(it->second, call)))
    throw ApiError(403, "AccessDenied",
                   (web_identity ? std::string("Not authorized to perform sts:AssumeRoleWithWebIdentity")
                                 : who + " is not authorized to perform: sts:AssumeRole on resource: " + arn));
  const AssumableRole& role = it->second;
  if (web_identity && !role.web_identity_token.empty() && token != role.web_identity_token)
    throw ApiError(400, "InvalidIdentityToken",
                   "The web identity token that was passed could not be validated by AWS. "
                   "Get a new identity token from the identity provider and then retry the request.");
  if (duration > role.max_session_duration)
    throw validation("The requested DurationSeconds exceeds the MaxSessionDuration set for this role.");

  std::string assumed_arn = "arn:aws:sts::" + role_arn.account_id + ":assumed-role/" + role_arn.name + "/" + session;
  std::chrono::seconds lifetime(lifetime_override_ > 0 ? lifetime_override_ : duration);
  TemporaryCredentials creds = issue_temporary_credentials(world_->keys, role_arn.account_id, assumed_arn, lifetime);
  issued_.push_back({{"operation", op},
                     {"role_arn", arn},
                     {"session_name", session},
                     {"caller", call.caller_arn},
                     {"access_key_id", creds.access_key},
                     {"expiration", iso8601(creds.expiration)}});

  QueryReply reply(op, kXmlns);
  auto result = reply.result();
  if (web_identity) XmlReply::add(result, "SubjectFromWebIdentityToken", "sandbox-subject");
  auto user = result.append_child("AssumedRoleUser");
  XmlReply::add(user, "AssumedRoleId", role_id(arn) + ":" + session);
  XmlReply::add(user, "Arn", assumed_arn);
  auto c = result.append_child("Credentials");
  XmlReply::add(c, "AccessKeyId", creds.access_key);
  XmlReply::add(c, "SecretAccessKey", creds.secret_key);
  XmlReply::add(c, "SessionToken", creds.session_token);
  XmlReply::add(c, "Expiration", iso8601(creds.expiration));
  if (web_identity) {
    XmlReply::add(result, "Provider", "sandbox-identity-provider");
    XmlReply::add(result, "Audience", "sts.amazonaws.com");
  }
  return reply.finish(call.request_id);
}

// The sandbox's encoded authorization messages are base64 of the decoded
// JSON document (a fault's message can carry one after "Encoded
// authorization failure message: "); anything else is refused as AWS
// refuses a message it did not make.
AwsReply StsService::decode_authorization_message(const AwsCall& call) {
  const std::string encoded = required(call, "EncodedMessage", "encodedMessage");
  const ApiError invalid(400, "InvalidAuthorizationMessageException", "Message is invalid");
  std::string decoded;
  try {
    decoded = base64_decode(encoded);
  } catch (const std::invalid_argument&) {
    throw invalid;
  }
  const Json document = Json::parse(decoded, nullptr, false);
  if (document.is_discarded() || !document.is_object()) throw invalid;
  QueryReply reply("DecodeAuthorizationMessage", kXmlns);
  XmlReply::add(reply.result(), "DecodedMessage", decoded);
  return reply.finish(call.request_id);
}

AwsReply StsService::get_caller_identity(const AwsCall& call) {
  std::string user_id;
  const std::string marker = ":assumed-role/";
  auto pos = call.caller_arn.find(marker);
  if (pos != std::string::npos) {
    std::string rest = call.caller_arn.substr(pos + marker.size());  // role/session
    std::string role = rest.substr(0, rest.find('/'));
    std::string session = rest.find('/') == std::string::npos ? "" : rest.substr(rest.find('/') + 1);
    user_id = role_id("arn:aws:iam::" + call.account_id + ":role/" + role) + ":" + session;
  } else if (call.caller_arn.size() >= 5 && call.caller_arn.compare(call.caller_arn.size() - 5, 5, ":root") == 0) {
    user_id = call.account_id;
  } else {
    std::string h = sha256_hex(call.caller_arn);
    user_id = "AIDA";
    for (std::size_t i = 0; i < 17; ++i) user_id += kUpperAlnum[static_cast<unsigned char>(h[i]) % 36];
  }
  QueryReply reply("GetCallerIdentity", kXmlns);
  XmlReply::add(reply.result(), "UserId", user_id);
  XmlReply::add(reply.result(), "Account", call.account_id);
  XmlReply::add(reply.result(), "Arn", call.caller_arn);
  return reply.finish(call.request_id);
}

void StsService::load(const Json& scenario, World& world) {
  std::lock_guard lock(mutex_);
  world_ = &world;
  roles_.clear();
  issued_.clear();
  const Json sts = scenario.contains("sts") ? scenario["sts"] : Json::object();
  lifetime_override_ = sts.value("credential_lifetime_seconds", 0);
  for (const auto& e : sts.value("roles", Json::array())) {
    AssumableRole r;
    r.arn = e.at("arn").get<std::string>();
    parse_role_arn(r.arn);
    if (e.contains("trusted"))
      for (const auto& t : e["trusted"]) r.trusted.push_back(t.get<std::string>());
    else
      r.trusted.push_back("*");
    r.max_session_duration = e.value("max_session_duration", 3600);
    r.web_identity = e.value("web_identity", false);
    r.web_identity_token = e.value("web_identity_token", "");
    roles_[r.arn] = r;
  }
}

Json StsService::dump() const {
  std::lock_guard lock(mutex_);
  Json roles = Json::array();
  for (const auto& [arn, r] : roles_) roles.push_back({{"arn", arn}, {"trusted", r.trusted}});
  return Json{{"roles", roles}, {"issued", issued_}};
}

std::unique_ptr<Service> make_sts_service() { return std::make_unique<StsService>(); }

}  // namespace qvn::sandbox
