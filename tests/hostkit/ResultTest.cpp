// The one table of result codes: every code of the public headers has its
// row, the general failure depends on the call, and the READMEs show the
// table as it is.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "ResultText.h"
#include "kazmir.h"
#include "kazmir_host.h"

using namespace kzhost;

namespace {

std::string ReadText(const std::string& relative)
{
    std::ifstream in(std::string(KAZMIR_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(ResultCodes, EveryLibraryCodeHasItsOwnSentenceAndExitCode)
{
    const std::pair<uint32_t, int> codes[] = {
        {KZM_OK, EXIT_OK},
        {0x80004001u, EXIT_FAILURE_}, // the device server's "not implemented"
        {KZM_E_INVALIDARG, EXIT_DEVICE},
        {KZM_E_TIMEOUT, EXIT_NO_RESPONSE},
        {KZM_E_FLASH_NOT_STARTED, EXIT_DEVICE},
        {KZM_E_TOO_MANY_SECTORS, EXIT_DEVICE},
        {KZM_E_BEYOND_FLASH, EXIT_NO_FIT},
        {KZM_E_RANGE_END, EXIT_NO_FIT},
        {KZM_E_ALLOC_RANGE, EXIT_NO_FIT},
        {KZM_E_READ_RANGE, EXIT_DEVICE},
        {KZM_E_WRITE_RANGE, EXIT_DEVICE},
        {KZM_E_VERIFY, EXIT_VERIFY},
        {KZM_E_NO_FLASH_LOADER, EXIT_NO_RESPONSE},
        {32, EXIT_BUSY},
        {0x80070020u, EXIT_BUSY},
    };
    const std::string unknown = Describe(0x12345678u, Operation::Other);
    for (const auto& [code, exitCode] : codes) {
        const std::string text = Describe(code, Operation::Program);
        EXPECT_NE(text, unknown) << Hex32(code);
        EXPECT_EQ(ExitCodeFor(code, Operation::Program), exitCode) << Hex32(code);
    }
    EXPECT_EQ(Describe(KZM_E_BEYOND_FLASH, Operation::Program), "the image ends beyond the flash");
    EXPECT_NE(Describe(KZM_E_TIMEOUT, Operation::Open).find("did not come back after its restart"), std::string::npos);
    EXPECT_NE(Describe(32, Operation::Open).find("in use by another program"), std::string::npos);
    EXPECT_EQ(DescribeWithCode(KZM_E_VERIFY, Operation::Verify), "the flash differs from the image (0xE0FE000A)");
    EXPECT_EQ(ExitCodeFor(0x12345678u, Operation::Other), EXIT_DEVICE);
}

TEST(ResultCodes, TheGeneralFailureDependsOnTheCall)
{
    EXPECT_EQ(ExitCodeFor(KZM_E_FAIL, Operation::Open), EXIT_NO_BOARD);
    EXPECT_EQ(ExitCodeFor(KZM_E_FAIL, Operation::Program), EXIT_IMAGE);
    EXPECT_EQ(ExitCodeFor(KZM_E_FAIL, Operation::Erase), EXIT_DEVICE);
    EXPECT_EQ(ExitCodeFor(KZM_E_FAIL, Operation::BgiReceive), EXIT_NO_RESPONSE);
    EXPECT_NE(Describe(KZM_E_FAIL, Operation::Open), Describe(KZM_E_FAIL, Operation::Program));
    // A board that leaves during its restart and does not return in time.
    EXPECT_EQ(ExitCodeFor(1167, Operation::Open), EXIT_NO_RESPONSE);
    EXPECT_EQ(ExitCodeFor(1167, Operation::Program), EXIT_DEVICE);
}

TEST(ResultCodes, EveryCodeOfThePublicHeadersHasItsOwnRow)
{
    const std::regex define(R"(#define ((KZM|KZH)_(OK|E_\w+)) +0x([0-9A-Fa-f]+)u)");
    size_t codes = 0;
    for (const char* header : {"include/kazmir.h", "hostkit/include/kazmir_host.h"}) {
        const std::string text = ReadText(header);
        for (std::sregex_iterator it(text.begin(), text.end(), define), end; it != end; ++it, ++codes) {
            const uint32_t code = static_cast<uint32_t>(std::stoul((*it)[4].str(), nullptr, 16));
            EXPECT_EQ(LookupResult(code, Operation::Other).name, (*it)[1].str()) << header;
        }
    }
    EXPECT_EQ(codes, 21u) << "13 codes of the library, 8 of the host kit";
    std::set<std::pair<uint32_t, Operation>> seen;
    std::set<int> exits;
    for (uint32_t i = 0; const Kind* kind = KindAt(i); ++i)
        exits.insert(kind->exitCode);
    uint32_t rows = 0;
    for (; const ResultRow* row = ResultRowAt(rows); ++rows) {
        EXPECT_TRUE(seen.insert({row->code, row->op}).second) << Hex32(row->code) << " has two rows for one call";
        EXPECT_TRUE(exits.count(row->exitCode)) << Hex32(row->code) << " exits with no kind's code";
        KZH_RESULT_INFO info{};
        ASSERT_EQ(kzhResultRow(rows, &info), 0u);
        EXPECT_STREQ(info.name, row->name);
    }
    KZH_RESULT_INFO info{};
    EXPECT_EQ(kzhResultRow(rows, &info), KZH_E_ARGUMENT);
    ASSERT_EQ(kzhResultInfo(0x80070020u, KZH_OP_OPEN, &info), 0u);
    EXPECT_STREQ(info.name, "ERROR_SHARING_VIOLATION");
    EXPECT_EQ(info.kind, uint32_t{KZH_KIND_BUSY});
    EXPECT_STREQ(info.kindName, "busy");
    EXPECT_EQ(info.exitCode, 8);
    EXPECT_EQ(info.code, 0x80070020u);
    KZH_KIND_INFO kind{};
    ASSERT_EQ(kzhKindInfo(KZH_KIND_INTERRUPTED, &kind), 0u);
    EXPECT_EQ(kind.exitCode, 130);
    EXPECT_EQ(kzhKindInfo(KZH_KIND_COUNT, &kind), KZH_E_ARGUMENT);
}

TEST(ResultCodes, TheReadmesAndTheHelpShowTheTable)
{
    const std::string results = ResultTableMarkdown(), exits = ExitCodeTableMarkdown();
    EXPECT_NE(ReadText("README.md").find(results), std::string::npos) << "README.md's table should be:\n" << results;
    EXPECT_NE(ReadText("cli/README.md").find(exits), std::string::npos) << "cli/README.md's table should be:\n"
                                                                        << exits;
    std::istringstream help(ExitCodeHelp());
    size_t kinds = 0;
    for (std::string line; std::getline(help, line);) {
        EXPECT_LE(line.size(), 78u) << line;
        kinds += line[2] != ' ';
    }
    EXPECT_EQ(kinds, size_t{KZH_KIND_COUNT});
}
