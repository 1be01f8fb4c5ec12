#include "aws/sts.hpp"

#include <pugixml.hpp>

#include <cstring>

#include "aws/errors.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {
namespace {

using xml::child;

struct Parsed {
  pugi::xml_document document;
  pugi::xml_node result;
  std::string request_id;
};

// Loads <{Op}Response><{Op}Result>...</{Op}Result><ResponseMetadata>.
void parse(const std::string& operation, const OperationResponse& response, Parsed& parsed) {
  if (!parsed.document.load_buffer(response.body.data(), response.body.size()))
    throw AwsError("malformed answer to STS " + operation);
  pugi::xml_node root = parsed.document.document_element();
  parsed.result = child(root, operation + "Result");
  parsed.request_id = xml::child_text(child(root, "ResponseMetadata"), "RequestId");
  if (parsed.request_id.empty()) parsed.request_id = response.header("x-amzn-RequestId");
}

std::optional<sts::Credentials> read_credentials(pugi::xml_node result) {
  pugi::xml_node node = child(result, "Credentials");
  if (!node) return std::nullopt;
  return sts::Credentials{xml::child_text(node, "AccessKeyId"), xml::child_text(node, "SecretAccessKey"),
                          xml::child_text(node, "SessionToken"), xml::child_text(node, "Expiration")};
}

std::optional<sts::AssumedRoleUser> read_user(pugi::xml_node result) {
  pugi::xml_node node = child(result, "AssumedRoleUser");
  if (!node) return std::nullopt;
  return sts::AssumedRoleUser{xml::child_text(node, "AssumedRoleId"), xml::child_text(node, "Arn")};
}

void add(HeaderList& form, const char* name, const std::optional<std::string>& value) {
  if (value) form.emplace_back(name, *value);
}

void add(HeaderList& form, const char* name, const std::optional<int>& value) {
  if (value) form.emplace_back(name, std::to_string(*value));
}

}  // namespace

const ServiceId& sts_service_id() {
  static const ServiceId id{"sts", Protocol::Query, "2011-06-15", ""};
  return id;
}

StsClient::StsClient(std::shared_ptr<Session> session, std::optional<std::string> region) {
  ClientOptions options;
  options.region = std::move(region);
  sender_ = std::make_shared<ServiceClient>(session, sts_service_id(), options);
  options.unsigned_requests = true;
  unsigned_sender_ = std::make_shared<ServiceClient>(std::move(session), sts_service_id(), options);
}

StsClient::StsClient(std::shared_ptr<OperationSender> sender) : sender_(sender), unsigned_sender_(std::move(sender)) {}

sts::AssumeRoleResult StsClient::assume_role(const sts::AssumeRoleRequest& request) {
  OperationRequest operation;
  operation.operation = "AssumeRole";
  operation.form = {{"RoleArn", request.RoleArn}, {"RoleSessionName", request.RoleSessionName}};
  add(operation.form, "DurationSeconds", request.DurationSeconds);
  add(operation.form, "ExternalId", request.ExternalId);
  add(operation.form, "Policy", request.Policy);
  add(operation.form, "SerialNumber", request.SerialNumber);
  add(operation.form, "TokenCode", request.TokenCode);
  Parsed parsed;
  parse(operation.operation, sender_->send(operation), parsed);
  sts::AssumeRoleResult result;
  result.Credentials = read_credentials(parsed.result);
  result.AssumedRoleUser = read_user(parsed.result);
  if (auto size = child(parsed.result, "PackedPolicySize")) result.PackedPolicySize = size.text().as_int();
  result.RequestId = parsed.request_id;
  return result;
}

sts::AssumeRoleWithWebIdentityResult StsClient::assume_role_with_web_identity(
    const sts::AssumeRoleWithWebIdentityRequest& request) {
  OperationRequest operation;
  operation.operation = "AssumeRoleWithWebIdentity";
  operation.form = {{"RoleArn", request.RoleArn},
                    {"RoleSessionName", request.RoleSessionName},
                    {"WebIdentityToken", request.WebIdentityToken}};
  add(operation.form, "ProviderId", request.ProviderId);
  add(operation.form, "Policy", request.Policy);
  add(operation.form, "DurationSeconds", request.DurationSeconds);
  Parsed parsed;
  parse(operation.operation, unsigned_sender_->send(operation), parsed);
  sts::AssumeRoleWithWebIdentityResult result;
  result.Credentials = read_credentials(parsed.result);
  result.AssumedRoleUser = read_user(parsed.result);
  result.SubjectFromWebIdentityToken = xml::child_text(parsed.result, "SubjectFromWebIdentityToken");
  result.Provider = xml::child_text(parsed.result, "Provider");
  result.Audience = xml::child_text(parsed.result, "Audience");
  result.RequestId = parsed.request_id;
  return result;
}

sts::GetCallerIdentityResult StsClient::get_caller_identity() {
  OperationRequest operation;
  operation.operation = "GetCallerIdentity";
  Parsed parsed;
  parse(operation.operation, sender_->send(operation), parsed);
  return {xml::child_text(parsed.result, "UserId"), xml::child_text(parsed.result, "Account"),
          xml::child_text(parsed.result, "Arn"), parsed.request_id};
}

sts::DecodeAuthorizationMessageResult StsClient::decode_authorization_message(const std::string& EncodedMessage) {
  OperationRequest operation;
  operation.operation = "DecodeAuthorizationMessage";
  operation.form = {{"EncodedMessage", EncodedMessage}};
  Parsed parsed;
  parse(operation.operation, sender_->send(operation), parsed);
  return {xml::child_text(parsed.result, "DecodedMessage"), parsed.request_id};
}

}  // namespace qvn::aws
