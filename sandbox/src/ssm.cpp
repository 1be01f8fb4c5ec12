#include "ssm.hpp"

#include <algorithm>

#include "core/clock.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {

namespace {

ApiError validation_exception(const std::string& message) { return ApiError(400, "ValidationException", message); }

ApiError not_found() { return ApiError(400, "ParameterNotFound", ""); }

bool is_public(const std::string& name) { return name.starts_with("/aws/"); }

std::string required_string(const Json& in, const char* member) {
  if (!in.contains(member) || !in[member].is_string())
    throw validation_exception(std::string("1 validation error detected: Value null at '") +
                               char(std::tolower(member[0])) + (member + 1) +
                               "' failed to satisfy constraint: Member must not be null");
  return in[member].get<std::string>();
}

bool flag(const Json& in, const char* member) {
  return in.contains(member) && in[member].is_boolean() && in[member].get<bool>();
}

// What a SecureString shows without decryption: an opaque ciphertext blob.
std::string ciphertext(const std::string& value) {
  std::string blob = std::string("\x01\x02\x02\x00", 4) + md5_raw(value) + md5_raw("sandbox-kms:" + value);
  blob.append(value.size(), '\x5a');
  return base64_encode(blob);
}

// "name", "name:3" or an ARN "arn:aws:ssm:<region>:<account>:parameter/name".
std::pair<std::string, long> parse_reference(std::string name) {
  if (name.starts_with("arn:")) {
    auto pos = name.find(":parameter");
    if (pos == std::string::npos) throw validation_exception("Invalid parameter ARN: " + name);
    name = name.substr(pos + 10);
    if (!name.empty() && name[0] != '/') name = "/" + name;
  }
  long version = 0;
  auto colon = name.rfind(':');
  if (colon != std::string::npos) {
    try {
      version = std::stol(name.substr(colon + 1));
    } catch (const std::exception&) {
      throw validation_exception("Invalid parameter version in " + name);
    }
    name = name.substr(0, colon);
  }
  if (name.empty() || name.size() > 2048)
    throw validation_exception("Parameter name must have length between 1 and 2048.");
  return {name, version};
}

}  // namespace

AwsReply SsmService::render_error(const ApiError& error, const std::string& request_id) const {
  Json body = {{"__type", error.code}};
  if (*error.what()) body["message"] = error.what();
  AwsReply reply;
  reply.status = error.status;
  reply.content_type = "application/x-amz-json-1.1";
  reply.headers.emplace_back("x-amzn-RequestId", request_id);
  reply.body = body.dump();
  return reply;
}

AwsReply SsmService::handle(const AwsCall& call) {
  std::string op = call.operation;
  auto target = call.headers.find("x-amz-target");
  if (op.empty() && target != call.headers.end() && target->second.starts_with("AmazonSSM."))
    op = target->second.substr(10);
  Json in;
  try {
    in = call.body.empty() ? Json::object() : Json::parse(call.body);
  } catch (const std::exception&) {
    throw ApiError(400, "SerializationException", "Start of structure or map found where not expected.");
  }
  if (!in.is_object())
    throw ApiError(400, "SerializationException", "Start of structure or map found where not expected.");

  std::lock_guard lock(mutex_);
  Json out;
  if (op == "GetParameter")
    out = get_parameter(call, in);
  else if (op == "GetParameters")
    out = get_parameters(call, in);
  else if (op == "GetParametersByPath")
    out = get_parameters_by_path(call, in);
  else if (op == "PutParameter")
    out = put_parameter(call, in);
  else if (op == "DeleteParameter")
    out = delete_parameter(call, in);
  else
    throw ApiError(400, "UnknownOperationException", "");
  AwsReply reply;
  reply.content_type = "application/x-amz-json-1.1";
  reply.headers.emplace_back("x-amzn-RequestId", call.request_id);
  reply.body = out.dump();
  return reply;
}

std::vector<SsmParameter*> SsmService::visible(const AwsCall& call) {
  std::vector<SsmParameter*> out;
  for (auto& p : parameters_)
    if ((p.account_id.empty() || p.account_id == call.account_id) && (p.region.empty() || p.region == call.region))
      out.push_back(&p);
  return out;
}

SsmParameter* SsmService::find(const AwsCall& call, const std::string& name) {
  for (auto* p : visible(call))
    if (p->name == name) return p;
  return nullptr;
}

Json SsmService::render(const AwsCall& call, const SsmParameter& p, const SsmParameterVersion& v, bool decrypt) const {
  std::string arn_name = p.name[0] == '/' ? p.name : "/" + p.name;
  Json j;
  j["ARN"] = "arn:aws:ssm:" + call.region + ":" + p.account_id + ":parameter" + arn_name;
  j["DataType"] = "text";
  j["LastModifiedDate"] = epoch_seconds(v.modified);
  j["Name"] = p.name;
  j["Type"] = p.type;
  j["Value"] = (p.type == "SecureString" && !decrypt) ? ciphertext(v.value) : v.value;
  j["Version"] = v.version;
  return j;
}

Json SsmService::get_parameter(const AwsCall& call, const Json& in) {
  auto [name, version] = parse_reference(required_string(in, "Name"));
  SsmParameter* p = find(call, name);
  if (!p) throw not_found();
  const SsmParameterVersion* v = &p->versions.back();
  if (version) {
    const auto wanted = version;  // a lambda may not capture a structured binding (clang 14)
    auto it = std::find_if(p->versions.begin(), p->versions.end(),
                           [&](const SsmParameterVersion& x) { return x.version == wanted; });
    if (it == p->versions.end())
      throw ApiError(400, "ParameterVersionNotFound",
                     "Systems Manager could not find version " + std::to_string(version) + " of " + name +
                         ". Verify the version and try again.");
    v = &*it;
  }
  Json out;
  out["Parameter"] = render(call, *p, *v, flag(in, "WithDecryption"));
  if (version) out["Parameter"]["Selector"] = ":" + std::to_string(version);
  return out;
}

Json SsmService::get_parameters(const AwsCall& call, const Json& in) {
  if (!in.contains("Names") || !in["Names"].is_array() || in["Names"].empty() || in["Names"].size() > 10)
    throw validation_exception(
        "1 validation error detected: Value at 'names' failed to satisfy constraint: "
        "Member must have length between 1 and 10");
  Json found = Json::array(), invalid = Json::array();
  for (const auto& n : in["Names"]) {
    std::string name = n.is_string() ? n.get<std::string>() : "";
    SsmParameter* p = find(call, name);
    if (p)
      found.push_back(render(call, *p, p->versions.back(), flag(in, "WithDecryption")));
    else
      invalid.push_back(name);
  }
  return Json{{"InvalidParameters", invalid}, {"Parameters", found}};
}

Json SsmService::get_parameters_by_path(const AwsCall& call, const Json& in) {
  std::string path = required_string(in, "Path");
  if (path.empty() || path[0] != '/' || path.size() > 2048)
    throw validation_exception(
        "The parameter doesn't meet the parameter name requirements. The parameter name must begin "
        "with a forward slash \"/\".");
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  bool recursive = flag(in, "Recursive");
  long max_results = 10;
  if (in.contains("MaxResults")) {
    max_results = in["MaxResults"].is_number_integer() ? in["MaxResults"].get<long>() : 0;
    if (max_results < 1 || max_results > 10)
      throw validation_exception(
          "1 validation error detected: Value '" + in["MaxResults"].dump() +
          "' at 'maxResults' failed to satisfy constraint: Member must have value less than or equal "
          "to 10");
  }
  std::string after;
  if (in.contains("NextToken")) {
    try {
      after = base64_decode(in["NextToken"].get<std::string>());
    } catch (const std::exception&) {
      after.clear();
    }
    if (!after.starts_with("ssm:")) throw ApiError(400, "InvalidNextToken", "The specified token is not valid.");
    after = after.substr(4);
  }
  const std::string base = path == "/" ? "/" : path + "/";
  std::vector<SsmParameter*> matching;
  for (auto* p : visible(call)) {
    if (!p->name.starts_with(base) || p->name.size() == base.size()) continue;
    // The public parameters show up only for paths below /aws/.
    if (is_public(p->name) && !is_public(base)) continue;
    if (!recursive && p->name.find('/', base.size()) != std::string::npos) continue;
    if (!after.empty() && p->name <= after) continue;
    matching.push_back(p);
  }
  std::sort(matching.begin(), matching.end(), [](auto* a, auto* b) { return a->name < b->name; });
  Json out;
  Json list = Json::array();
  bool decrypt = flag(in, "WithDecryption");
  for (std::size_t i = 0; i < matching.size() && i < static_cast<std::size_t>(max_results); ++i)
    list.push_back(render(call, *matching[i], matching[i]->versions.back(), decrypt));
  if (matching.size() > static_cast<std::size_t>(max_results))
    out["NextToken"] = base64_encode("ssm:" + matching[max_results - 1]->name);
  out["Parameters"] = list;
  return out;
}

Json SsmService::put_parameter(const AwsCall& call, const Json& in) {
  std::string name = required_string(in, "Name");
  std::string value = required_string(in, "Value");
  std::string lowered = name;
  for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string bare = lowered[0] == '/' ? lowered.substr(1) : lowered;
  if (bare.starts_with("aws") || bare.starts_with("ssm"))
    throw validation_exception(
        "Parameter name: can't be prefixed with \"aws\" or \"ssm\" (case-insensitive). If formed as "
        "a path, it can consist of sub-paths divided by slash symbol; each sub-path can be formed as "
        "a mix of letters, numbers and the following 3 symbols .-_");
  if (name.find('/') != std::string::npos && name[0] != '/')
    throw validation_exception("Parameter name must be a fully qualified name.");
  std::string type = in.value("Type", "");
  if (!type.empty() && type != "String" && type != "StringList" && type != "SecureString")
    throw validation_exception("1 validation error detected: Value '" + type +
                               "' at 'type' failed to satisfy constraint: Member must satisfy enum value set: "
                               "[SecureString, StringList, String]");
  if (value.size() > 4096)
    throw validation_exception("Standard tier parameters support a maximum parameter value of 4096 characters.");
  SsmParameter* p = find(call, name);
  if (p && p->account_id == call.account_id) {
    if (!flag(in, "Overwrite"))
      throw ApiError(400, "ParameterAlreadyExists",
                     "The parameter already exists. To overwrite this value, set the "
                     "overwrite option in the request to true.");
    if (!type.empty()) p->type = type;
    p->versions.push_back({value, p->versions.back().version + 1, core::now()});
  } else {
    if (type.empty()) throw validation_exception("A parameter type is required when you create a parameter.");
    SsmParameter np;
    np.name = name;
    np.type = type;
    np.account_id = call.account_id;
    np.region = call.region;
    np.versions.push_back({value, 1, core::now()});
    parameters_.push_back(np);
    p = &parameters_.back();
  }
  return Json{{"Tier", "Standard"}, {"Version", p->versions.back().version}};
}

Json SsmService::delete_parameter(const AwsCall& call, const Json& in) {
  std::string name = required_string(in, "Name");
  auto it = std::find_if(parameters_.begin(), parameters_.end(), [&](const SsmParameter& p) {
    return p.name == name && p.account_id == call.account_id && (p.region.empty() || p.region == call.region);
  });
  if (it == parameters_.end()) throw not_found();
  parameters_.erase(it);
  return Json::object();
}

void SsmService::load(const Json& scenario, World&) {
  std::lock_guard lock(mutex_);
  parameters_.clear();
  default_account_ = scenario.value("account_id", "123456789012");
  const Json ssm = scenario.contains("ssm") ? scenario["ssm"] : Json::object();
  const Clock::time_point old = core::now() - std::chrono::hours(24);
  for (const auto& e : ssm.value("parameters", Json::array())) {
    SsmParameter p;
    p.name = e.at("name").get<std::string>();
    p.type = e.value("type", "String");
    p.account_id = is_public(p.name) ? "" : e.value("account_id", default_account_);
    p.region = e.value("region", "");
    Clock::time_point modified = old;
    if (e.contains("last_modified")) modified = parse_iso8601(e["last_modified"].get<std::string>());
    long version = e.value("version", 1L);
    p.versions.push_back({e.at("value").get<std::string>(), version, modified});
    parameters_.push_back(p);
  }
}

Json SsmService::dump() const {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& p : parameters_) {
    const auto& v = p.versions.back();
    list.push_back({{"name", p.name},
                    {"type", p.type},
                    {"account_id", p.account_id},
                    {"region", p.region},
                    {"version", v.version},
                    {"value", p.type == "SecureString" ? std::string("***") : v.value}});
  }
  return Json{{"parameters", list}};
}

std::unique_ptr<Service> make_ssm_service() { return std::make_unique<SsmService>(); }

}  // namespace qvn::sandbox
