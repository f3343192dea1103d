#include "lib/platform/digest.h"

#include <openssl/evp.h>

#include <memory>

namespace kav::platform {

Md5Digest md5_digest(const void* data, size_t size) {
  Md5Digest digest{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  unsigned int length = 0;
  // MD5 cannot fail on valid arguments; an allocation failure leaves the digest all zero,
  // which no stored digest of real data matches.
  if (context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1 &&
      EVP_DigestUpdate(context.get(), data, size) == 1) {
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
  }
  return digest;
}

}  // namespace kav::platform
