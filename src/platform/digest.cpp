#include "platform/digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/timer.h"

namespace {
struct Algorithm {
  const char* name;
  std::size_t hexLength;
  const EVP_MD* (*md)();
};
constexpr Algorithm kAlgorithms[] = {
    {"md5", 32, EVP_md5}, {"sha1", 40, EVP_sha1}, {"sha256", 64, EVP_sha256}, {"sha512", 128, EVP_sha512}};

const Algorithm* algorithmNamed(const std::string& name) {
  for (const auto& a : kAlgorithms)
    if (name == a.name) return &a;
  return nullptr;
}
}  // namespace

std::optional<std::string> parseChecksum(const std::string& text) {
  auto eq = text.find('=');
  if (eq == std::string::npos) return std::nullopt;
  std::string type, hex;
  for (char c : text.substr(0, eq))
    if (c != '-') type += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char c : text.substr(eq + 1)) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const Algorithm* a = algorithmNamed(type);
  if (!a || hex.size() != a->hexLength) return std::nullopt;
  return type + "=" + hex;
}

std::optional<std::string> FileDigest(const std::string& path, const std::string& algorithm, std::string& why) {
  const Algorithm* a = algorithmNamed(algorithm);
  if (!a) {
    why = "unknown checksum type " + algorithm;
    return std::nullopt;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), a->md(), nullptr) == 1;
  std::vector<char> buf(1 << 16);
  while (ok) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;
    ok = EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) {
    if (why.empty()) why = "the digest could not be computed";
    return std::nullopt;
  }
  std::string out = std::string(a->name) + "=";
  for (unsigned i = 0; i < len; ++i) {
    out += "0123456789abcdef"[md[i] >> 4];
    out += "0123456789abcdef"[md[i] & 15];
  }
  return out;
}

std::shared_ptr<void> FileDigestLater(const std::string& path, const std::string& algorithm, DigestDone done) {
  auto handle = std::make_shared<DigestDone>(std::move(done));
  auto report = [weak = std::weak_ptr<DigestDone>(handle)](std::optional<std::string> digest, std::string why) {
    PostToLoop([weak, digest = std::move(digest), why = std::move(why)] {
      if (auto done = weak.lock()) (*done)(digest, why);
    });
  };
  OpenLoopMailbox();
  try {
    std::thread([path, algorithm, report] {
      std::string why;
      auto digest = FileDigest(path, algorithm, why);
      report(std::move(digest), std::move(why));
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: read here, the answer still coming from the loop.
    std::string why;
    auto digest = FileDigest(path, algorithm, why);
    report(std::move(digest), std::move(why));
  }
  return handle;
}
