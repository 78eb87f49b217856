#include "Digest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/evp.h>

namespace kzlog {

namespace {

struct DigestContext {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    bool Start() { return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1; }
    bool Add(const void* data, size_t size) { return EVP_DigestUpdate(ctx.get(), data, size) == 1; }
    std::optional<std::string> Finish()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
            return std::nullopt;
        static const char DIGITS[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            hex += DIGITS[digest[i] >> 4];
            hex += DIGITS[digest[i] & 15];
        }
        return hex;
    }
};

} // namespace

std::optional<FileDigest> DigestFile(const std::string& path, std::string& error)
{
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    DigestContext digest;
    if (!digest.Start()) {
        error = "SHA-256 is not available from libcrypto";
        return std::nullopt;
    }
    FileDigest result;
    std::vector<char> buffer(1 << 20);
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        digest.Add(buffer.data(), got);
        result.size += got;
    }
    if (std::ferror(file.get())) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    auto hex = digest.Finish();
    if (!hex) {
        error = "SHA-256 of " + path + " failed in libcrypto";
        return std::nullopt;
    }
    result.sha256 = *hex;
    return result;
}

std::string Sha256Hex(const void* data, size_t size)
{
    DigestContext digest;
    if (!digest.Start() || !digest.Add(data, size))
        return {};
    return digest.Finish().value_or(std::string());
}

std::string ImageSha256(const std::string& path)
{
    std::string error;
    const auto digest = DigestFile(path, error);
    return digest ? digest->sha256 : std::string();
}

} // namespace kzlog
