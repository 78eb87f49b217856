// SHA-256 digests of image files (OpenSSL's libcrypto), as sha256sum prints them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kzlog {

struct FileDigest {
    uint64_t size = 0;
    std::string sha256; // 64 lower-case hexadecimal digits
};

// nullopt with the sentence in error when the file cannot be read.
std::optional<FileDigest> DigestFile(const std::string& path, std::string& error);
// The digest of an open file from its start: its first mapSize bytes (its
// size when it is a regular file, 0 otherwise) through mapped windows, the
// rest by reading to its end. nullopt with the reason (no path in it) when
// it cannot be read or proves shorter than mapSize.
std::optional<FileDigest> DigestDescriptor(int fd, uint64_t mapSize, std::string& reason);
std::string Sha256Hex(const void* data, size_t size);
// The SHA-256 of a file, as sha256sum prints it; "" when it cannot be read.
std::string ImageSha256(const std::string& path);

} // namespace kzlog
