// Image digests: the same SHA-256 over the mapped windows and their seams,
// through a pipe, for a file that grew, and an error (not a crash) for a file
// that proved shorter than its size told, however often that happens.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "Digest.h"
#include "RunlogSupport.h"

using namespace kzlog;

namespace {

std::string Text(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    return text;
}

TEST(Digest, FileOfEverySizeAroundTheWindowsMatchesItsBytes)
{
    runlogtest::TempDir dir;
    constexpr size_t MIB = 1u << 20;
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, 4 * MIB - 1, 4 * MIB, 4 * MIB + 1, 9 * MIB + 17}) {
        SCOPED_TRACE(size);
        const std::string text = Text(size);
        const std::string path = dir.File("image.hex");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        std::string error;
        const auto digest = DigestFile(path, error);
        ASSERT_TRUE(digest) << error;
        EXPECT_EQ(digest->sha256, Sha256Hex(text.data(), text.size()));
        EXPECT_EQ(digest->size, size);
    }
}

TEST(Digest, PipeAndGrownFileAreReadToTheirEnd)
{
    runlogtest::TempDir dir;
    const std::string text = Text((5u << 20) + 3);
    const std::string path = dir.File("image.hex", text);
    const std::string sha = Sha256Hex(text.data(), text.size());
    // The file has grown since its size was told: the rest is read.
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string reason;
    auto digest = DigestDescriptor(fd, 4u << 20, reason);
    close(fd);
    ASSERT_TRUE(digest) << reason;
    EXPECT_EQ(digest->sha256, sha);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < text.size();) {
            const ssize_t put = write(pipeFds[1], text.data() + at, text.size() - at);
            if (put <= 0)
                break;
            at += static_cast<size_t>(put);
        }
        close(pipeFds[1]);
    });
    digest = DigestDescriptor(pipeFds[0], 0, reason);
    writer.join();
    close(pipeFds[0]);
    ASSERT_TRUE(digest) << reason;
    EXPECT_EQ(digest->sha256, sha);
    EXPECT_EQ(digest->size, text.size());
}

// Pages past a file's end fault when touched, as they do when the file is
// cut short during a digest. Twice: the first fault must leave the next one
// catchable, and the process alive.
TEST(Digest, FileShorterThanItsSizeIsAnErrorEveryTime)
{
    runlogtest::TempDir dir;
    const std::string path = dir.File("image.hex", Text(100000));
    for (int round = 0; round < 2; ++round) {
        const int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string reason;
        EXPECT_FALSE(DigestDescriptor(fd, 9u << 20, reason));
        EXPECT_EQ(reason, "it became shorter while it was read");
        close(fd);
    }
    std::string error;
    EXPECT_TRUE(DigestFile(path, error)) << error;
}

} // namespace
