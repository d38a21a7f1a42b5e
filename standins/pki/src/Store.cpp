// Key stores on disk (layout described in PkiTesting.h).
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "standins/pki/src/Stub.h"

namespace pkistub {

namespace fs = std::filesystem;

namespace {

bool ReadFile(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  bytes = out.str();
  return true;
}

// A PEM certificate file into its X509 and DER.
bool LoadCert(const fs::path& path, StoredCert& cert) {
  std::string pem;
  if (!ReadFile(path, pem)) return false;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (x == nullptr) return false;
  cert.x509.reset(x, X509Free{});
  unsigned char* der = nullptr;
  const int n = i2d_X509(x, &der);
  if (n <= 0) return false;
  cert.der.assign(reinterpret_cast<char*>(der), n);
  OPENSSL_free(der);
  return true;
}

bool LoadKey(const fs::path& path, StoredCert& cert) {
  std::string pem;
  if (!ReadFile(path, pem)) return false;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr) return false;
  cert.key.reset(key, PkeyFree{});
  return X509_check_private_key(cert.x509.get(), key) == 1;
}

// Every "*.pem" of a folder, in name order (so searches answer in a stable order).
bool LoadFolder(const std::string& folder, bool withKeys, std::vector<StoredCert>& out,
                std::string& error) {
  if (folder.empty() || !IsFolder(folder)) return true;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.path().extension() == ".pem") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    StoredCert cert;
    if (!LoadCert(file, cert)) {
      error = "not a PEM certificate: " + file.string();
      return false;
    }
    if (withKeys) {
      fs::path keyFile = file;
      keyFile.replace_extension(".key");
      if (!LoadKey(keyFile, cert)) {
        error = "missing or unmatched private key: " + keyFile.string();
        return false;
      }
      cert.alias = file.stem().string();
    }
    out.push_back(std::move(cert));
  }
  return true;
}

}  // namespace

std::string PathFromAddress(const std::string& address) {
  for (const char* prefix : {"pse://signed/", "pse://", "file://", "ldap://"}) {
    const std::size_t n = std::char_traits<char>::length(prefix);
    if (address.compare(0, n, prefix) == 0) return address.substr(n);
  }
  return address;
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

bool LoadStore(const std::string& pse, const std::string& local, const std::string& ldap,
               Store& store, std::string& error) {
  store = Store{};
  if (!LoadFolder(pse, true, store.own, error)) return false;
  if (!local.empty()) {
    if (!LoadFolder((fs::path(local) / "certs").string(), false, store.others, error)) return false;
    if (!LoadFolder((fs::path(local) / "ca").string(), false, store.authorities, error))
      return false;
    std::string revoked;
    if (ReadFile(fs::path(local) / "revoked.txt", revoked)) {
      std::istringstream in(revoked);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) store.revoked.insert(line);
      }
    }
  }
  if (!LoadFolder(ldap, false, store.remote, error)) return false;
  // The password lives beside the key store folder.
  if (!pse.empty()) {
    std::string password;
    if (ReadFile(fs::path(pse).parent_path() / "auth.txt", password)) {
      store.hasPassword = true;
      store.password = password;
    }
  }
  return true;
}

bool ParseDer(const std::string& der, std::shared_ptr<X509>& out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (x == nullptr) return false;
  if (p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    X509_free(x);  // trailing bytes: not one certificate
    return false;
  }
  out.reset(x, X509Free{});
  return true;
}

}  // namespace pkistub
