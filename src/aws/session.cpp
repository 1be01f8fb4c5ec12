#include "aws/session.hpp"

#include <cctype>

#include "aws/errors.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

std::string upper_service(const std::string& service) {
  std::string out;
  for (char c : service)
    out.push_back(c == ' ' || c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return out;
}

bool is_true(const std::optional<std::string>& value) {
  if (!value) return false;
  return text::lower(*value) == "true";
}

RetryConfig read_retry_config(const ConfigSection& profile) {
  RetryConfig config;
  std::optional<std::string> mode = env("AWS_RETRY_MODE");
  if (!mode) mode = profile.get("retry_mode");
  if (mode) {
    auto parsed = parse_retry_mode(*mode);
    if (!parsed) throw ConfigError("invalid retry mode \"" + *mode + "\": expected standard, adaptive or legacy");
    config.mode = *parsed;
  }
  config.max_attempts = default_max_attempts(config.mode);
  std::optional<std::string> attempts = env("AWS_MAX_ATTEMPTS");
  if (!attempts) attempts = profile.get("max_attempts");
  if (attempts) {
    try {
      std::size_t used = 0;
      int value = std::stoi(*attempts, &used);
      if (used != attempts->size() || value < 1) throw std::invalid_argument("range");
      config.max_attempts = value;
    } catch (const std::exception&) {
      throw ConfigError("invalid max attempts \"" + *attempts + "\": expected a whole number of at least 1");
    }
  }
  return config;
}

}  // namespace

Session::Session(SessionOptions options, bool named_profile)
    : profile_name_(options.profile ? std::move(*options.profile) : active_profile_name()),
      transport_(options.transport ? std::move(options.transport) : http::default_http_transport()),
      listener_(std::move(options.listener)),
      config_(SharedConfig::load()) {
  bool profile_from_env = env("AWS_PROFILE") || env("AWS_DEFAULT_PROFILE");
  if ((named_profile || profile_from_env) && !config_.has_profile(profile_name_))
    throw CredentialsError("The config profile (" + profile_name_ + ") could not be found");
  profile_ = config_.profile(profile_name_);
  region_ = std::move(options.region);
  if (!region_) region_ = env("AWS_REGION");
  if (!region_) region_ = env("AWS_DEFAULT_REGION");
  if (!region_) region_ = profile_.get("region");
  retry_ = read_retry_config(profile_);
}

std::shared_ptr<Session> Session::from_credentials(const std::string& access_key_id,
                                                   const std::string& secret_access_key,
                                                   const std::string& session_token, SessionOptions options) {
  if (access_key_id.empty() || secret_access_key.empty())
    throw CredentialsError("an access key id and a secret access key are both required");
  Credentials credentials{access_key_id, secret_access_key, session_token, std::nullopt, "explicit"};
  return from_provider(std::make_shared<StaticCredentialsProvider>(std::move(credentials)), std::move(options));
}

std::shared_ptr<Session> Session::from_provider(std::shared_ptr<CredentialsProvider> provider, SessionOptions options) {
  if (!provider) throw CredentialsError("no credentials provider given");
  bool named = options.profile.has_value();
  std::shared_ptr<Session> session(new Session(std::move(options), named));
  session->provider_ = std::move(provider);
  return session;
}

EndpointSettings Session::endpoint_settings(const std::string& service) const {
  EndpointSettings settings;
  bool ignore =
      is_true(env("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS")) || is_true(profile_.get("ignore_configured_endpoint_urls"));
  if (!ignore) {
    std::string service_variable = "AWS_ENDPOINT_URL_" + upper_service(service);
    std::optional<std::string> url = env(service_variable.c_str());
    if (url) {
      settings.endpoint_url = checked_endpoint_url(*url, service_variable);
    } else if ((url = env("AWS_ENDPOINT_URL"))) {
      settings.endpoint_url = checked_endpoint_url(*url, "AWS_ENDPOINT_URL");
    } else {
      if (auto services_name = profile_.get("services")) {
        if (auto services = config_.services(*services_name)) {
          auto found = services->sub_sections.find(service);
          if (found != services->sub_sections.end()) {
            auto entry = found->second.find("endpoint_url");
            if (entry != found->second.end() && !entry->second.empty()) url = entry->second;
          }
        }
      }
      if (!url) url = profile_.get("endpoint_url");
      if (url) settings.endpoint_url = checked_endpoint_url(*url, "endpoint_url of profile " + profile_name_);
    }
  }
  if (auto sts = env("AWS_STS_REGIONAL_ENDPOINTS"))
    settings.sts_regional_endpoints = *sts;
  else if (auto value = profile_.get("sts_regional_endpoints"))
    settings.sts_regional_endpoints = *value;
  if (auto s3 = env("AWS_S3_US_EAST_1_REGIONAL_ENDPOINT"))
    settings.s3_us_east_1_regional_endpoint = *s3;
  else if (auto value = profile_.get("s3_us_east_1_regional_endpoint"))
    settings.s3_us_east_1_regional_endpoint = *value;
  if (auto s3 = profile_.sub_sections.find("s3"); s3 != profile_.sub_sections.end()) {
    auto style = s3->second.find("addressing_style");
    if (style != s3->second.end() && !style->second.empty()) settings.s3_addressing_style = style->second;
  }
  return settings;
}

std::shared_ptr<RetryState> Session::retry_state(const std::string& service, const std::string& region) {
  std::lock_guard lock(retry_mutex_);
  auto& state = retry_states_[service + "/" + region];
  if (!state) state = std::make_shared<RetryState>();
  return state;
}

std::optional<std::string> Session::bucket_region(const std::string& bucket) const {
  std::lock_guard lock(bucket_mutex_);
  auto found = bucket_regions_.find(bucket);
  if (found == bucket_regions_.end()) return std::nullopt;
  return found->second;
}

void Session::remember_bucket_region(const std::string& bucket, const std::string& region) {
  std::lock_guard lock(bucket_mutex_);
  bucket_regions_[bucket] = region;
}

}  // namespace qvn::aws
