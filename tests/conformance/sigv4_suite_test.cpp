// AWS's SigV4 test suite: every case that applies to a client signer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "aws/sigv4.hpp"

namespace {

namespace fs = std::filesystem;
using namespace qvn::aws::sigv4;

const fs::path kSuite = fs::path(QVN_FIXTURES_DIR) / "sigv4-suite";
const SigningCredentials kCredentials{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ""};
const Scope kScope{"20150830T123600Z", "us-east-1", "service"};

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Parses a .req file: request line, headers (folded lines joined with a
// blank), an empty line, then the body.
SignableRequest parse_request(const std::string& text, std::string& body) {
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  SignableRequest request;
  auto first_space = line.find(' ');
  auto last_space = line.rfind(' ');
  request.method = line.substr(0, first_space);
  std::string target = line.substr(first_space + 1, last_space - first_space - 1);
  auto question = target.find('?');
  request.path = target.substr(0, question);
  if (question != std::string::npos) request.query = target.substr(question + 1);
  while (std::getline(in, line)) {
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !request.headers.empty()) {
      request.headers.back().second += " " + line;
      continue;
    }
    auto colon = line.find(':');
    request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  std::ostringstream rest;
  rest << in.rdbuf();
  body = rest.str();
  request.payload_hash = sha256_hex(body);
  return request;
}

struct SuiteCase {
  fs::path folder;
  std::string token;  // credential-side session token
};

std::vector<SuiteCase> suite_cases() {
  std::vector<SuiteCase> cases;
  for (const auto& entry : fs::recursive_directory_iterator(kSuite)) {
    if (entry.path().extension() != ".req") continue;
    fs::path folder = entry.path().parent_path();
    SuiteCase c{folder, ""};
    if (folder.filename() == "get-vanilla-with-session-token") {
      // The token of this case only shows in the expected canonical request.
      std::string creq = read(folder / (folder.filename().string() + ".creq"));
      auto at = creq.find("x-amz-security-token:");
      c.token = creq.substr(at + 21, creq.find('\n', at) - at - 21);
    }
    cases.push_back(c);
  }
  std::sort(cases.begin(), cases.end(), [](auto& a, auto& b) { return a.folder < b.folder; });
  return cases;
}

TEST(Sigv4Suite, EveryCaseMatchesCanonicalRequestStringToSignAndAuthorization) {
  auto cases = suite_cases();
  ASSERT_GE(cases.size(), 30u);
  for (const auto& c : cases) {
    std::string name = c.folder.filename().string();
    SCOPED_TRACE(name);
    std::string body;
    SignableRequest request = parse_request(read(c.folder / (name + ".req")), body);
    SigningCredentials credentials = kCredentials;
    credentials.session_token = c.token;
    Signature signature = sign(request, credentials, kScope);
    EXPECT_EQ(signature.canonical_request, read(c.folder / (name + ".creq")));
    EXPECT_EQ(signature.string_to_sign, read(c.folder / (name + ".sts")));
    EXPECT_EQ(signature.authorization, read(c.folder / (name + ".authz")));
  }
}

TEST(Sigv4Suite, S3PathIsSignedAsSentWithoutNormalising) {
  SignableRequest request{"GET", "/a//b/../c%2Bd", "", {{"Host", "bucket.s3.amazonaws.com"}}, sha256_hex("")};
  SignOptions s3;
  s3.double_encode_path = false;
  std::string creq = sign(request, kCredentials, kScope, s3).canonical_request;
  EXPECT_EQ(creq.substr(0, creq.find('\n', 4)), "GET\n/a//b/../c%2Bd");
  std::string other = sign(request, kCredentials, kScope).canonical_request;
  EXPECT_EQ(other.substr(0, other.find('\n', 4)), "GET\n/a/c%252Bd");
}

TEST(Sigv4Suite, KnownAnswerForStsGetCallerIdentity) {
  SignableRequest request{"POST",
                          "/",
                          "",
                          {{"Host", "sts.us-east-1.amazonaws.com"},
                           {"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"},
                           {"X-Amz-Date", "20150830T123600Z"}},
                          sha256_hex("Action=GetCallerIdentity&Version=2011-06-15")};
  Signature signature = sign(request, kCredentials, {"20150830T123600Z", "us-east-1", "sts"});
  EXPECT_EQ(signature.signature, "52a8540fea00e731072179f763577cbe2a45eac2c5d32fb4d785f3eefac88165");
}

TEST(Sigv4Suite, ExplicitSignedHeaderListIsHonoured) {
  SignableRequest request{
      "GET", "/", "", {{"Host", "h"}, {"X-Amz-Date", "20150830T123600Z"}, {"X-Extra", "1"}}, sha256_hex("")};
  SignOptions options;
  options.signed_headers = std::vector<std::string>{"host", "x-amz-date"};
  EXPECT_EQ(sign(request, kCredentials, kScope, options).signed_headers, "host;x-amz-date");
  EXPECT_EQ(sign(request, kCredentials, kScope).signed_headers, "host;x-amz-date;x-extra");
}

}  // namespace
