#include "s3.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "modules.hpp"
#include "query_xml.hpp"
#include "s3_requests.hpp"

namespace qvn::sandbox {

using namespace s3wire;

std::string s3_operation_name(const std::string& method, const std::string& raw_path, const Pairs& query) {
  auto [bucket, key] = split_path(raw_path);
  if (bucket.empty()) return method == "GET" ? "ListBuckets" : "Unknown";
  if (key.empty()) {
    if (method == "GET") {
      if (has_query(query, "location")) return "GetBucketLocation";
      return has_query(query, "list-type") ? "ListObjectsV2" : "ListObjects";
    }
    if (method == "PUT") return "CreateBucket";
    if (method == "HEAD") return "HeadBucket";
    if (method == "DELETE") return "DeleteBucket";
    if (method == "POST" && has_query(query, "delete")) return "DeleteObjects";
    return "Unknown";
  }
  if (method == "PUT") return "PutObject";
  if (method == "GET") return "GetObject";
  if (method == "HEAD") return "HeadObject";
  if (method == "DELETE") return "DeleteObject";
  return "Unknown";
}

AwsReply S3Service::render_error(const ApiError& error, const std::string& request_id) const {
  XmlReply xml("Error", "");
  XmlReply::add(xml.root(), "Code", error.code);
  XmlReply::add(xml.root(), "Message", error.what());
  AwsReply reply;
  if (const auto* s3 = dynamic_cast<const S3Error*>(&error)) {
    for (const auto& [k, v] : s3->elements) XmlReply::add(xml.root(), k, v);
    reply.headers = s3->headers;
  }
  XmlReply::add(xml.root(), "RequestId", request_id);
  std::string host_id = base64_encode(md5_raw(request_id) + md5_raw("host:" + request_id));
  XmlReply::add(xml.root(), "HostId", host_id);
  reply.status = error.status;
  reply.content_type = "application/xml";
  reply.body = xml.str(true);
  reply.headers.emplace_back("x-amz-request-id", request_id);
  reply.headers.emplace_back("x-amz-id-2", host_id);
  return reply;
}

AwsReply S3Service::handle(const AwsCall& call) {
  const std::string raw = call.raw_path.empty() ? call.path : call.raw_path;
  const std::string op = s3_operation_name(call.method, raw, call.query);
  auto [name, key] = split_path(raw);
  check_payload(call);
  std::lock_guard lock(mutex_);
  if (op == "ListBuckets") return list_buckets(call);
  if (op == "CreateBucket") return create_bucket(call, name);
  if (op == "DeleteBucket") return delete_bucket(call, name);
  if (op == "HeadBucket") return head_bucket(call, name);
  if (op == "ListObjectsV2") return list_objects_v2(call, name);
  if (op == "PutObject") return put_object(call, name, key);
  if (op == "GetObject") return get_object(call, name, key, false);
  if (op == "HeadObject") return get_object(call, name, key, true);
  if (op == "DeleteObject") return delete_object(call, name, key);
  if (op == "DeleteObjects") return delete_objects(call, name);
  throw S3Error(501, "NotImplemented", "A header you provided implies functionality that is not implemented");
}

S3Bucket& S3Service::bucket(const AwsCall& call, const std::string& name) {
  auto it = buckets_.find(name);
  if (it == buckets_.end()) throw no_such_bucket(name);
  S3Bucket& b = it->second;
  if (!b.region.empty() && b.region != call.region)
    throw S3Error(400, "AuthorizationHeaderMalformed",
                  "The authorization header is malformed; the region '" + call.region + "' is wrong; expecting '" +
                      b.region + "'",
                  {{"Region", b.region}}, {{"x-amz-bucket-region", b.region}});
  return b;
}

AwsReply S3Service::list_buckets(const AwsCall& call) {
  XmlReply xml("ListAllMyBucketsResult", kXmlns);
  auto owner = xml.root().append_child("Owner");
  XmlReply::add(owner, "ID", sha256_hex("owner:" + call.account_id));
  auto list = xml.root().append_child("Buckets");
  for (const auto& [name, b] : buckets_) {
    if (b.account_id != call.account_id) continue;
    auto node = list.append_child("Bucket");
    XmlReply::add(node, "Name", name);
    XmlReply::add(node, "CreationDate", iso8601_millis(b.created));
  }
  return xml_reply(xml, call);
}

AwsReply S3Service::create_bucket(const AwsCall& call, const std::string& name) {
  if (!valid_bucket_name(name))
    throw S3Error(400, "InvalidBucketName", "The specified bucket is not valid.", {{"BucketName", name}});
  auto it = buckets_.find(name);
  if (it != buckets_.end()) {
    if (it->second.account_id == call.account_id)
      throw S3Error(409, "BucketAlreadyOwnedByYou",
                    "Your previous request to create the named bucket succeeded and you already own it.",
                    {{"BucketName", name}});
    throw S3Error(409, "BucketAlreadyExists",
                  "The requested bucket name is not available. The bucket namespace is shared by all users of the "
                  "system. Please select a different name and try again.",
                  {{"BucketName", name}});
  }
  S3Bucket b;
  b.name = name;
  b.region = call.region;
  b.account_id = call.account_id;
  b.created = core::now();
  buckets_.emplace(name, b);
  AwsReply reply = empty_reply(200, call);
  reply.headers.emplace_back("Location", "/" + name);
  return reply;
}

AwsReply S3Service::delete_bucket(const AwsCall& call, const std::string& name) {
  S3Bucket& b = bucket(call, name);
  if (!b.objects.empty())
    throw S3Error(409, "BucketNotEmpty", "The bucket you tried to delete is not empty", {{"BucketName", name}});
  buckets_.erase(name);
  return empty_reply(204, call);
}

AwsReply S3Service::head_bucket(const AwsCall& call, const std::string& name) {
  S3Bucket& b = bucket(call, name);
  AwsReply reply = empty_reply(200, call);
  reply.headers.emplace_back("x-amz-bucket-region", b.region.empty() ? call.region : b.region);
  return reply;
}

AwsReply S3Service::list_objects_v2(const AwsCall& call, const std::string& name) {
  S3Bucket& b = bucket(call, name);
  const std::string prefix = query_value(call, "prefix");
  const std::string delimiter = query_value(call, "delimiter");
  const std::string start_after = query_value(call, "start-after");
  const std::string encoding = query_value(call, "encoding-type");
  const bool url = encoding == "url";
  if (!encoding.empty() && !url)
    throw S3Error(400, "InvalidArgument", "Invalid Encoding Method specified in Request",
                  {{"ArgumentName", "encoding-type"}, {"ArgumentValue", encoding}});
  long max_keys = 1000;
  if (has_query(call.query, "max-keys")) {
    const std::string text = query_value(call, "max-keys");
    try {
      std::size_t used = 0;
      max_keys = std::stol(text, &used);
      if (used != text.size()) max_keys = -1;
    } catch (const std::exception&) {
      max_keys = -1;
    }
    if (max_keys < 0)
      throw S3Error(400, "InvalidArgument", "Provided max-keys not an integer or within integer range",
                    {{"ArgumentName", "max-keys"}, {"ArgumentValue", text}});
  }
  // Where to resume: after a key ("k") or after every key under a common prefix ("p").
  std::string after_key = start_after, after_prefix;
  const bool continued = has_query(call.query, "continuation-token");
  const std::string token = query_value(call, "continuation-token");
  if (continued) {
    std::string decoded;
    try {
      decoded = base64_decode(token);
    } catch (const std::exception&) {
      decoded.clear();
    }
    if (decoded.starts_with("s3:k:"))
      after_key = decoded.substr(5);
    else if (decoded.starts_with("s3:p:"))
      after_key = after_prefix = decoded.substr(5);
    else
      throw S3Error(400, "InvalidArgument", "The continuation token provided is incorrect",
                    {{"ArgumentName", "continuation-token"}, {"ArgumentValue", token}});
  }
  const std::size_t page = static_cast<std::size_t>(std::min<long>(max_keys, static_cast<long>(page_size_)));

  std::vector<const std::pair<const std::string, S3Object>*> contents;
  std::vector<std::string> prefixes;
  std::string last;  // token payload of the last entry handed out
  bool truncated = false;
  for (auto it = b.objects.upper_bound(after_key); it != b.objects.end(); ++it) {
    const std::string& key = it->first;
    if (!key.starts_with(prefix)) {
      if (key > prefix) break;
      continue;
    }
    if (!after_prefix.empty() && key.starts_with(after_prefix)) continue;
    std::string common;
    if (!delimiter.empty()) {
      auto pos = key.find(delimiter, prefix.size());
      if (pos != std::string::npos) common = key.substr(0, pos + delimiter.size());
    }
    if (!common.empty() && !prefixes.empty() && prefixes.back() == common) continue;
    if (contents.size() + prefixes.size() == page) {
      truncated = page > 0;
      break;
    }
    if (common.empty()) {
      contents.push_back(&*it);
      last = "s3:k:" + key;
    } else {
      prefixes.push_back(common);
      last = "s3:p:" + common;
    }
  }

  auto enc = [&](const std::string& s) { return url ? url_encode_key(s) : s; };
  XmlReply xml("ListBucketResult", kXmlns);
  auto root = xml.root();
  XmlReply::add(root, "Name", name);
  XmlReply::add(root, "Prefix", enc(prefix));
  if (!delimiter.empty()) XmlReply::add(root, "Delimiter", enc(delimiter));
  if (!start_after.empty()) XmlReply::add(root, "StartAfter", enc(start_after));
  if (continued) XmlReply::add(root, "ContinuationToken", token);
  if (truncated) XmlReply::add(root, "NextContinuationToken", base64_encode(last));
  XmlReply::add(root, "KeyCount", std::to_string(contents.size() + prefixes.size()));
  XmlReply::add(root, "MaxKeys", std::to_string(max_keys));
  if (url) XmlReply::add(root, "EncodingType", "url");
  XmlReply::add(root, "IsTruncated", truncated ? "true" : "false");
  const bool owner = query_value(call, "fetch-owner") == "true";
  for (const auto* entry : contents) {
    auto node = root.append_child("Contents");
    XmlReply::add(node, "Key", enc(entry->first));
    XmlReply::add(node, "LastModified", iso8601_millis(entry->second.last_modified));
    XmlReply::add(node, "ETag", entry->second.etag);
    XmlReply::add(node, "Size", std::to_string(entry->second.body.size()));
    if (owner) XmlReply::add(node.append_child("Owner"), "ID", sha256_hex("owner:" + b.account_id));
    XmlReply::add(node, "StorageClass", "STANDARD");
  }
  for (const auto& p : prefixes) XmlReply::add(root.append_child("CommonPrefixes"), "Prefix", enc(p));
  AwsReply reply = xml_reply(xml, call);
  reply.headers.emplace_back("x-amz-bucket-region", b.region.empty() ? call.region : b.region);
  return reply;
}

AwsReply S3Service::put_object(const AwsCall& call, const std::string& name, const std::string& key) {
  S3Bucket& b = bucket(call, name);
  if (!header(call, "x-amz-copy-source").empty())
    throw S3Error(501, "NotImplemented", "A header you provided implies functionality that is not implemented",
                  {{"Header", "x-amz-copy-source"}});
  if (key.size() > 1024) throw S3Error(400, "KeyTooLongError", "Your key is too long");
  check_content_md5(call);
  S3Object obj;
  obj.body = call.body;
  if (!header(call, "content-type").empty()) obj.content_type = header(call, "content-type");
  obj.etag = "\"" + hex(md5_raw(call.body)) + "\"";
  obj.last_modified = std::chrono::time_point_cast<std::chrono::seconds>(core::now());
  for (const auto& [k, v] : call.headers)
    if (k.starts_with("x-amz-meta-")) obj.metadata.emplace_back(k, v);
  AwsReply reply = empty_reply(200, call);
  reply.headers.emplace_back("ETag", obj.etag);
  reply.headers.emplace_back("x-amz-server-side-encryption", "AES256");
  b.objects[key] = std::move(obj);
  return reply;
}

AwsReply S3Service::get_object(const AwsCall& call, const std::string& name, const std::string& key, bool head) {
  S3Bucket& b = bucket(call, name);
  auto it = b.objects.find(key);
  if (it == b.objects.end()) throw S3Error(404, "NoSuchKey", "The specified key does not exist.", {{"Key", key}});
  const S3Object& obj = it->second;
  AwsReply reply = empty_reply(200, call);
  reply.content_type = obj.content_type;
  reply.headers.emplace_back("ETag", obj.etag);
  reply.headers.emplace_back("Last-Modified", http_date(obj.last_modified));
  reply.headers.emplace_back("Accept-Ranges", "bytes");
  reply.headers.emplace_back("x-amz-server-side-encryption", "AES256");
  for (const auto& [k, v] : obj.metadata) reply.headers.emplace_back(k, v);
  std::size_t from = 0, to = obj.body.size();  // [from, to)
  const std::string range = header(call, "range");
  unsigned long long a = 0, z = 0;
  char dash = 0;
  if (range.starts_with("bytes=") && range.find(',') == std::string::npos) {
    std::string spec = range.substr(6);
    const std::size_t size = obj.body.size();
    bool parsed = false;
    if (!spec.empty() && spec[0] == '-') {
      parsed = std::sscanf(spec.c_str(), "-%llu", &z) == 1;
      if (parsed && z > 0)
        from = z >= size ? 0 : size - static_cast<std::size_t>(z);
      else
        parsed = false;
    } else if (std::sscanf(spec.c_str(), "%llu%c%llu", &a, &dash, &z) == 3 && dash == '-' && z >= a) {
      parsed = true;
      from = static_cast<std::size_t>(a);
      to = static_cast<std::size_t>(std::min<unsigned long long>(z + 1, size));
    } else if (std::sscanf(spec.c_str(), "%llu%c", &a, &dash) == 2 && dash == '-' && spec.back() == '-') {
      parsed = true;
      from = static_cast<std::size_t>(a);
    }
    if (parsed) {
      if (from >= size)
        throw S3Error(416, "InvalidRange", "The requested range is not satisfiable",
                      {{"RangeRequested", range}, {"ActualObjectSize", std::to_string(size)}});
      reply.status = 206;
      reply.headers.emplace_back(
          "Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(to - 1) + "/" + std::to_string(size));
    }
  }
  if (head)
    reply.headers.emplace_back("Content-Length", std::to_string(to - from));
  else
    reply.body = obj.body.substr(from, to - from);
  return reply;
}

AwsReply S3Service::delete_object(const AwsCall& call, const std::string& name, const std::string& key) {
  S3Bucket& b = bucket(call, name);
  b.objects.erase(key);
  return empty_reply(204, call);
}

// Up to 1000 keys in one request; each key is reported deleted (also when
// it did not exist) or with its own error, and in quiet mode only the errors
// are listed.
AwsReply S3Service::delete_objects(const AwsCall& call, const std::string& name) {
  S3Bucket& b = bucket(call, name);
  check_required_integrity(call);
  pugi::xml_document doc;
  if (!doc.load_buffer(call.body.data(), call.body.size())) throw malformed_xml();
  pugi::xml_node request = doc.document_element();
  if (std::string(request.name()) != "Delete") throw malformed_xml();
  struct Wanted {
    std::string key;
    std::optional<std::string> version;
  };
  std::vector<Wanted> wanted;
  bool quiet = false;
  for (pugi::xml_node child : request.children()) {
    if (child.type() != pugi::node_element) continue;
    const std::string element = child.name();
    if (element == "Quiet") {
      const std::string text = child.text().get();
      if (text != "true" && text != "false") throw malformed_xml();
      quiet = text == "true";
    } else if (element == "Object") {
      pugi::xml_node key = child.child("Key");
      if (!key) throw malformed_xml();
      Wanted w{key.text().get(), std::nullopt};
      if (pugi::xml_node version = child.child("VersionId")) w.version = version.text().get();
      wanted.push_back(std::move(w));
    } else {
      throw malformed_xml();
    }
  }
  if (wanted.empty() || wanted.size() > 1000) throw malformed_xml();

  XmlReply xml("DeleteResult", kXmlns);
  auto root = xml.root();
  for (const auto& w : wanted) {
    const char* code = nullptr;
    const char* message = nullptr;
    if (w.key.empty() || w.key.size() > 1024) {
      code = "InvalidArgument";
      message = "Invalid key";
    } else if (w.version && *w.version != "null") {
      // Versioning is never on here: only the "null" version exists.
      code = "NoSuchVersion";
      message = "The specified version does not exist.";
    }
    if (code) {
      auto error = root.append_child("Error");
      XmlReply::add(error, "Key", w.key);
      if (w.version) XmlReply::add(error, "VersionId", *w.version);
      XmlReply::add(error, "Code", code);
      XmlReply::add(error, "Message", message);
      continue;
    }
    b.objects.erase(w.key);
    if (quiet) continue;
    auto deleted = root.append_child("Deleted");
    XmlReply::add(deleted, "Key", w.key);
    if (w.version) XmlReply::add(deleted, "VersionId", *w.version);
  }
  return xml_reply(xml, call);
}

void S3Service::load(const Json& scenario, World&) {
  std::lock_guard lock(mutex_);
  buckets_.clear();
  default_account_ = scenario.value("account_id", "123456789012");
  const Json s3 = scenario.contains("s3") ? scenario["s3"] : Json::object();
  page_size_ = s3.value("page_size", 1000);
  if (page_size_ == 0) page_size_ = 1000;
  const Clock::time_point old =
      std::chrono::time_point_cast<std::chrono::seconds>(core::now() - std::chrono::hours(24));
  for (const auto& e : s3.value("buckets", Json::array())) {
    S3Bucket b;
    b.name = e.at("name").get<std::string>();
    b.region = e.value("region", "");
    b.account_id = e.value("account_id", default_account_);
    b.created = old;
    for (const auto& o : e.value("objects", Json::array())) {
      S3Object obj;
      obj.body = o.contains("body_base64") ? base64_decode(o["body_base64"].get<std::string>()) : o.value("body", "");
      obj.content_type = o.value("content_type", "binary/octet-stream");
      obj.etag = "\"" + hex(md5_raw(obj.body)) + "\"";
      obj.last_modified = o.contains("last_modified") ? parse_iso8601(o["last_modified"].get<std::string>()) : old;
      b.objects[o.at("key").get<std::string>()] = obj;
    }
    buckets_[b.name] = b;
  }
}

Json S3Service::dump() const {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& [name, b] : buckets_) {
    Json objects = Json::array();
    for (const auto& [key, o] : b.objects) {
      Json j = {{"key", key},
                {"size", o.body.size()},
                {"etag", o.etag},
                {"last_modified", iso8601_millis(o.last_modified)},
                {"content_type", o.content_type}};
      if (o.body.size() <= 65536 && valid_utf8(o.body))
        j["body"] = o.body;
      else
        j["body_base64"] = base64_encode(o.body);
      objects.push_back(j);
    }
    list.push_back({{"name", name}, {"region", b.region}, {"account_id", b.account_id}, {"objects", objects}});
  }
  return Json{{"buckets", list}, {"page_size", page_size_}};
}

std::unique_ptr<Service> make_s3_service() { return std::make_unique<S3Service>(); }

}  // namespace qvn::sandbox
