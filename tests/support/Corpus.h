// The image corpus lives outside the repository; its folder comes from the
// CMake cache variable KAZMIR_CORPUS_DIR. Tests that read it start with
// KAZMIR_NEED_CORPUS(): without the folder they are skipped and say why, or
// fail where KAZMIR_REQUIRE_CORPUS=ON (CI) asks for the corpus.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#ifndef KAZMIR_REQUIRE_CORPUS
#define KAZMIR_REQUIRE_CORPUS 0
#endif

namespace corpustest {

// Empty when the corpus folder is not there.
inline std::string MissingCorpusReason()
{
    const std::string dir = KAZMIR_CORPUS_DIR;
    std::error_code ec;
    if (dir.empty())
        return "no image corpus: set the CMake cache variable KAZMIR_CORPUS_DIR to its folder";
    if (!std::filesystem::is_directory(dir, ec))
        return "no image corpus at KAZMIR_CORPUS_DIR=" + dir;
    return {};
}

} // namespace corpustest

#define KAZMIR_NEED_CORPUS()                                                                                           \
    do {                                                                                                               \
        const std::string kazmirCorpusMissing = corpustest::MissingCorpusReason();                                     \
        if (!kazmirCorpusMissing.empty()) {                                                                            \
            if (KAZMIR_REQUIRE_CORPUS)                                                                                 \
                FAIL() << kazmirCorpusMissing << " (KAZMIR_REQUIRE_CORPUS=ON)";                                        \
            else                                                                                                       \
                GTEST_SKIP() << kazmirCorpusMissing;                                                                   \
        }                                                                                                              \
    } while (0)
