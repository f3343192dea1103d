// MD5 through Windows' own cryptography API (CryptCreateHash with CALG_MD5), which every
// Windows has, instead of a cross-built OpenSSL carried beside the DLL.
#include "lib/platform/digest.h"

#include <cstdio>
#include <cstdlib>

#include "lib/platform/win32.h"

#include <wincrypt.h>

namespace kav::platform {

Md5Digest md5_digest(const void* data, size_t size) {
  Md5Digest digest{};
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool done = false;
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
      CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    const auto* bytes = static_cast<const BYTE*>(data);
    bool hashed = true;
    // CryptHashData takes a DWORD length: feed larger blocks in parts.
    while (size > 0 && hashed) {
      const DWORD part = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      hashed = CryptHashData(hash, bytes, part, 0) != FALSE;
      bytes += part;
      size -= part;
    }
    DWORD length = static_cast<DWORD>(digest.size());
    done = hashed && CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0) &&
           length == digest.size();
  }
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
  if (!done) {
    // Every Windows since 2000 has the base provider with MD5; a digest that cannot be made
    // must not pass for one of zeros.
    std::fprintf(stderr, "umts_kav_lib: the system's MD5 is not available (error %lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    std::abort();
  }
  return digest;
}

}  // namespace kav::platform
