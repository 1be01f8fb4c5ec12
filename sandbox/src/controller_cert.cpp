#include "controller_cert.hpp"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qvn::sandbox {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* step) {
  if (!ok) throw std::runtime_error(std::string("controller certificate: ") + step + " failed");
}

Key new_key() {
  Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  check(key != nullptr, "key generation");
  return key;
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

Cert new_cert(EVP_PKEY* key, const char* common_name, X509* issuer) {
  Cert cert(X509_new(), X509_free);
  check(cert != nullptr, "certificate allocation");
  X509_set_version(cert.get(), 2);
  BIGNUM* serial = BN_new();
  BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 30);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quorvane sandbox"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  return cert;
}

void write_pem(const std::string& path, bool secret, const std::function<int(FILE*)>& write) {
  if (secret) {
    // Create the key file private from the start.
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f) std::fclose(f);
    ::chmod(path.c_str(), 0600);
  }
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("controller certificate: cannot write " + path);
  int ok = write(f);
  std::fclose(f);
  if (ok != 1) throw std::runtime_error("controller certificate: cannot write " + path);
}

}  // namespace

ControllerCertificates make_controller_certificates(const std::string& work_dir) {
  std::error_code ec;
  std::filesystem::create_directories(work_dir, ec);
  if (ec) throw std::runtime_error("controller certificate: cannot create " + work_dir + ": " + ec.message());

  Key ca_key = new_key();
  Cert ca = new_cert(ca_key.get(), "Quorvane sandbox CA", nullptr);
  add_ext(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_ext(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_ext(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.get(), ca_key.get(), EVP_sha256()) > 0, "CA signature");

  Key key = new_key();
  Cert cert = new_cert(key.get(), "localhost", ca.get());
  add_ext(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  add_ext(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment");
  add_ext(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  add_ext(cert.get(), ca.get(), NID_subject_key_identifier, "hash");
  add_ext(cert.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  add_ext(cert.get(), ca.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  check(X509_sign(cert.get(), ca_key.get(), EVP_sha256()) > 0, "server certificate signature");

  ControllerCertificates files;
  const std::string dir = work_dir.empty() ? "." : work_dir;
  files.ca_file = dir + "/controller-ca.pem";
  files.cert_file = dir + "/controller-cert.pem";
  files.key_file = dir + "/controller-key.pem";
  write_pem(files.ca_file, false, [&](FILE* f) { return PEM_write_X509(f, ca.get()); });
  write_pem(files.cert_file, false, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
  write_pem(files.key_file, true,
            [&](FILE* f) { return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return files;
}

}  // namespace qvn::sandbox
