// Message digests of the platform layer: MD5 (RFC 1321) through OpenSSL's EVP digest interface.
//
// Threading: pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kav::platform {

using Md5Digest = std::array<uint8_t, 16>;

// The MD5 digest of `size` bytes at `data`.
Md5Digest md5_digest(const void* data, size_t size);

}  // namespace kav::platform
