#include "ec2_keys.hpp"

#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace qvn::sandbox::ec2 {

namespace {

using Bytes = std::vector<unsigned char>;

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("key generation failed: ") + what);
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

void put_string(Bytes& out, const Bytes& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((n >> shift) & 0xff);
  out.insert(out.end(), s.begin(), s.end());
}

// SSH mpint: big-endian, with a leading zero when the top bit is set.
Bytes mpint(const BIGNUM* bn) {
  Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, b.data());
  if (!b.empty() && (b[0] & 0x80)) b.insert(b.begin(), 0);
  return b;
}

std::string base64(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

Bytes digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  check(EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) == 1, "digest");
  out.resize(n);
  return out;
}

std::string colon_hex(const Bytes& data) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out += ':';
    out += hex[data[i] >> 4];
    out += hex[data[i] & 0xf];
  }
  return out;
}

Bytes pkcs8_der(EVP_PKEY* key) {
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, Free> info(EVP_PKEY2PKCS8(key));
  check(info != nullptr, "pkcs8");
  unsigned char* der = nullptr;
  int n = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der);
  check(n > 0, "pkcs8 der");
  Bytes out(der, der + n);
  OPENSSL_free(der);
  return out;
}

KeyMaterial rsa_material() {
  std::unique_ptr<EVP_PKEY, Free> key(EVP_RSA_gen(2048));
  check(key != nullptr, "rsa");
  KeyMaterial m;
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  check(PEM_write_bio_PrivateKey_traditional(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "pem");
  m.private_pem = bio_text(bio.get());
  while (!m.private_pem.empty() && m.private_pem.back() == '\n') m.private_pem.pop_back();

  BIGNUM* n_raw = nullptr;
  BIGNUM* e_raw = nullptr;
  check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n_raw) == 1, "modulus");
  std::unique_ptr<BIGNUM, Free> n(n_raw);
  check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e_raw) == 1, "exponent");
  std::unique_ptr<BIGNUM, Free> e(e_raw);
  Bytes blob;
  const std::string type = "ssh-rsa";
  put_string(blob, Bytes(type.begin(), type.end()));
  put_string(blob, mpint(e.get()));
  put_string(blob, mpint(n.get()));
  m.public_key = "ssh-rsa " + base64(blob);
  m.fingerprint = colon_hex(digest(EVP_sha1(), pkcs8_der(key.get())));
  return m;
}

KeyMaterial ed25519_material() {
  std::unique_ptr<EVP_PKEY, Free> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  check(key != nullptr, "ed25519");
  KeyMaterial m;
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  check(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "pem");
  m.private_pem = bio_text(bio.get());
  while (!m.private_pem.empty() && m.private_pem.back() == '\n') m.private_pem.pop_back();
  Bytes raw(32);
  size_t len = raw.size();
  check(EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &len) == 1, "public key");
  raw.resize(len);
  Bytes blob;
  const std::string type = "ssh-ed25519";
  put_string(blob, Bytes(type.begin(), type.end()));
  put_string(blob, raw);
  m.public_key = "ssh-ed25519 " + base64(blob);
  std::string fp = base64(digest(EVP_sha256(), blob));
  while (!fp.empty() && fp.back() == '=') fp.pop_back();
  m.fingerprint = fp + "=";
  return m;
}

}  // namespace

KeyMaterial make_key_material(const std::string& type) {
  return type == "ed25519" ? ed25519_material() : rsa_material();
}

}  // namespace qvn::sandbox::ec2
