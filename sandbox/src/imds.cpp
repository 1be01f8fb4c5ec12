#include "imds.hpp"

#include <httplib.h>

#include "core/clock.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {

namespace {

InstanceMetadata::Answer status_only(int status) {
  InstanceMetadata::Answer a;
  a.status = status;
  a.content_type = "text/html";
  static const std::map<int, std::string> titles = {
      {400, "400 - Bad Request"}, {401, "401 - Unauthorized"}, {403, "403 - Forbidden"}, {404, "404 - Not Found"}};
  auto it = titles.find(status);
  std::string title = it == titles.end() ? std::to_string(status) : it->second;
  a.body = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<html><head><title>" + title +
           "</title></head><body><h1>" + title + "</h1></body></html>\n";
  return a;
}

InstanceMetadata::Answer text(std::string body, std::string content_type = "text/plain") {
  InstanceMetadata::Answer a;
  a.body = std::move(body);
  a.content_type = std::move(content_type);
  return a;
}

}  // namespace

Json InstanceMetadata::config() const {
  const Json scenario = world_.scenario_snapshot();
  Json m = scenario.contains("metadata") && scenario["metadata"].is_object() ? scenario["metadata"] : Json::object();
  const std::string region = m.value("region", scenario.value("region", std::string("us-east-1")));
  Json cfg = {{"mode", m.value("mode", std::string("optional"))},
              {"account_id", m.value("account_id", scenario.value("account_id", std::string("123456789012")))},
              {"region", region},
              {"availability_zone", m.value("availability_zone", region + "a")},
              {"instance_id", m.value("instance_id", std::string("i-0a1b2c3d4e5f67890"))},
              {"instance_type", m.value("instance_type", std::string("t3.micro"))},
              {"image_id", m.value("image_id", std::string("ami-0005e0cfe09cc9050"))},
              {"private_ip", m.value("private_ip", std::string("10.0.1.10"))},
              {"architecture", m.value("architecture", std::string("x86_64"))},
              {"pending_time", m.value("pending_time", std::string("2024-01-15T11:55:00Z"))},
              {"role", m.value("role", std::string())},
              {"credential_lifetime_seconds", m.value("credential_lifetime_seconds", 21600)}};
  return cfg;
}

InstanceMetadata::Answer InstanceMetadata::put_token(const std::optional<std::string>& ttl_header, bool forwarded) {
  const Json cfg = config();
  const std::string mode = cfg["mode"];
  if (mode == "off") return status_only(404);
  if (mode == "disabled") return status_only(403);
  if (forwarded) return status_only(403);
  if (!ttl_header) return status_only(400);
  long ttl = 0;
  try {
    std::size_t used = 0;
    ttl = std::stol(*ttl_header, &used);
    if (used != ttl_header->size()) ttl = 0;
  } catch (const std::exception&) {
    ttl = 0;
  }
  if (ttl < 1 || ttl > 21600) return status_only(400);
  std::string token = random_chars(56, kBase64Chars.substr(0, 62)) + "==";
  {
    std::lock_guard lock(mutex_);
    const auto now = core::now();
    for (auto it = tokens_.begin(); it != tokens_.end();) it = it->second <= now ? tokens_.erase(it) : std::next(it);
    tokens_[token] = now + std::chrono::seconds(ttl);
  }
  Answer a = text(token);
  a.headers.emplace_back("X-aws-ec2-metadata-token-ttl-seconds", std::to_string(ttl));
  return a;
}

InstanceMetadata::Answer InstanceMetadata::get(const std::string& path, const std::optional<std::string>& token) {
  const Json cfg = config();
  const std::string mode = cfg["mode"];
  if (mode == "off") return status_only(404);
  if (mode == "disabled") return status_only(403);
  if (token) {
    std::lock_guard lock(mutex_);
    auto it = tokens_.find(*token);
    if (it == tokens_.end() || it->second <= core::now()) return status_only(401);
  } else if (mode == "required") {
    return status_only(401);
  }

  const std::string role = cfg["role"];
  if (path == "dynamic/instance-identity/document") {
    Json doc = {{"accountId", cfg["account_id"]},
                {"architecture", cfg["architecture"]},
                {"availabilityZone", cfg["availability_zone"]},
                {"billingProducts", nullptr},
                {"devpayProductCodes", nullptr},
                {"marketplaceProductCodes", nullptr},
                {"imageId", cfg["image_id"]},
                {"instanceId", cfg["instance_id"]},
                {"instanceType", cfg["instance_type"]},
                {"kernelId", nullptr},
                {"pendingTime", cfg["pending_time"]},
                {"privateIp", cfg["private_ip"]},
                {"ramdiskId", nullptr},
                {"region", cfg["region"]},
                {"version", "2017-09-30"}};
    return text(doc.dump(2));
  }
  if (path == "meta-data" || path == "meta-data/") {
    std::string items = "ami-id\navailability-zone\ninstance-id\ninstance-type\nlocal-ipv4\nplacement/";
    if (!role.empty()) items += "\niam/";
    return text(items);
  }
  if (path == "meta-data/ami-id") return text(cfg["image_id"]);
  if (path == "meta-data/instance-id") return text(cfg["instance_id"]);
  if (path == "meta-data/instance-type") return text(cfg["instance_type"]);
  if (path == "meta-data/local-ipv4") return text(cfg["private_ip"]);
  if (path == "meta-data/placement/availability-zone") return text(cfg["availability_zone"]);
  if (path == "meta-data/placement/region") return text(cfg["region"]);
  if (!role.empty()) {
    const std::string creds = "meta-data/iam/security-credentials";
    if (path == "meta-data/iam/" || path == "meta-data/iam") return text("info\nsecurity-credentials/");
    if (path == creds || path == creds + "/") return text(role);
    if (path == creds + "/" + role) return credentials(cfg, role);
    if (path == "meta-data/iam/info") {
      Json info = {
          {"Code", "Success"},
          {"LastUpdated", iso8601(core::now())},
          {"InstanceProfileArn", "arn:aws:iam::" + cfg["account_id"].get<std::string>() + ":instance-profile/" + role},
          {"InstanceProfileId", "AIPA" + std::string(17, 'Q')}};
      return text(info.dump(2));
    }
  }
  return status_only(404);
}

InstanceMetadata::Answer InstanceMetadata::credentials(const Json& cfg, const std::string& role) {
  std::lock_guard lock(mutex_);
  const auto now = core::now();
  // Rotated well before expiry, and again when a scenario load dropped the keys.
  bool fresh = credentials_ && credentials_role_ == role && credentials_->expiration - now > std::chrono::minutes(15) &&
               world_.keys.find(credentials_->access_key).has_value();
  if (!fresh) {
    const std::string account = cfg["account_id"];
    const std::string arn =
        "arn:aws:sts::" + account + ":assumed-role/" + role + "/" + cfg["instance_id"].get<std::string>();
    credentials_ = issue_temporary_credentials(world_.keys, account, arn,
                                               std::chrono::seconds(cfg["credential_lifetime_seconds"].get<long>()));
    credentials_role_ = role;
  }
  Json body = {{"Code", "Success"},
               {"LastUpdated", iso8601(now)},
               {"Type", "AWS-HMAC"},
               {"AccessKeyId", credentials_->access_key},
               {"SecretAccessKey", credentials_->secret_key},
               {"Token", credentials_->session_token},
               {"Expiration", iso8601(credentials_->expiration)}};
  return text(body.dump(2));
}

void mount_instance_metadata(httplib::Server& server, World& world) {
  auto imds = std::make_shared<InstanceMetadata>(world);
  auto send = [](httplib::Response& res, const InstanceMetadata::Answer& a) {
    res.status = a.status;
    for (const auto& [k, v] : a.headers) res.set_header(k.c_str(), v);
    res.set_content(a.body, a.content_type.c_str());
  };
  server.Put("/latest/api/token", [imds, send](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> ttl;
    if (req.has_header("X-aws-ec2-metadata-token-ttl-seconds"))
      ttl = req.get_header_value("X-aws-ec2-metadata-token-ttl-seconds");
    send(res, imds->put_token(ttl, req.has_header("X-Forwarded-For")));
  });
  server.Get(R"(/latest/(.*))", [imds, send](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> token;
    if (req.has_header("X-aws-ec2-metadata-token")) token = req.get_header_value("X-aws-ec2-metadata-token");
    send(res, imds->get(req.matches[1].str(), token));
  });
}

}  // namespace qvn::sandbox
