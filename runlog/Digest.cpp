#include "Digest.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Regular files are hashed through windows of their pages mapped in turn:
// no copy into a buffer (a tenth of the time on a large image), and a few
// MiB held at a time. A file cut short while it is hashed makes its mapped
// pages fault (SIGBUS); the fault ends that digest with an error, not the
// process.
constexpr uint64_t MAP_WINDOW = 4u << 20;
constexpr const char* HASH_FAILED = "SHA-256 failed in libcrypto";

thread_local sigjmp_buf* t_pBusFault = nullptr;
struct sigaction g_PreviousBusAction {};

void OnBusFault(int signal, siginfo_t*, void*)
{
    if (t_pBusFault != nullptr)
        siglongjmp(*t_pBusFault, 1);
    // A fault that is not a digest's goes to the action before ours.
    sigaction(SIGBUS, &g_PreviousBusAction, nullptr);
    raise(signal);
}

void CatchBusFaults()
{
    static std::once_flag s_Installed;
    std::call_once(s_Installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_PreviousBusAction);
    });
}

// Hashes the first size bytes through mapped windows; *done tells how many
// went in. False with the reason when the file proved shorter than size.
bool DigestMapped(int fd, uint64_t size, DigestContext& digest, uint64_t* done, std::string& reason)
{
    CatchBusFaults();
    sigjmp_buf fault;
    void* volatile window = nullptr;
    volatile size_t windowSize = 0;
    // The signal mask is saved: the fault's handler returns here with
    // SIGBUS still blocked otherwise.
    if (sigsetjmp(fault, 1) != 0) {
        t_pBusFault = nullptr;
        munmap(window, windowSize);
        reason = "it became shorter while it was read";
        return false;
    }
    while (*done < size) {
        const size_t n = static_cast<size_t>(std::min(MAP_WINDOW, size - *done));
        void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(*done));
        if (p == MAP_FAILED)
            return true; // read() takes the rest
        window = p;
        windowSize = n;
        t_pBusFault = &fault;
        const bool added = digest.Add(p, n);
        t_pBusFault = nullptr;
        munmap(p, n);
        window = nullptr;
        if (!added) {
            reason = HASH_FAILED;
            return false;
        }
        *done += n;
    }
    return true;
}

} // namespace

std::optional<FileDigest> DigestDescriptor(int fd, uint64_t mapSize, std::string& reason)
{
    DigestContext digest;
    if (!digest.Start()) {
        reason = "SHA-256 is not available from libcrypto";
        return std::nullopt;
    }
    FileDigest result;
    if (!DigestMapped(fd, mapSize, digest, &result.size, reason))
        return std::nullopt;
    // What was not mapped (a pipe, a failed mapping, or what the file grew
    // by since its size was told) is read.
    if (lseek(fd, static_cast<off_t>(result.size), SEEK_SET) < 0 && result.size != 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            reason = std::strerror(errno);
            return std::nullopt;
        }
        if (!digest.Add(buffer.data(), static_cast<size_t>(got))) {
            reason = HASH_FAILED;
            return std::nullopt;
        }
        result.size += static_cast<uint64_t>(got);
    }
    auto hex = digest.Finish();
    if (!hex) {
        reason = HASH_FAILED;
        return std::nullopt;
    }
    result.sha256 = *hex;
    return result;
}

std::optional<FileDigest> DigestFile(const std::string& path, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    const uint64_t mapSize = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    std::string reason;
    auto digest = DigestDescriptor(fd, mapSize, reason);
    close(fd);
    if (!digest)
        error = "cannot read " + path + ": " + reason;
    return digest;
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
