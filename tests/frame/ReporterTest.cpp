// Report formatting and the callback registration through kzmRegisterCallback.
#include "frame/Reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Line {
    void* context;
    uint8_t kind;
    std::string text;
};

std::vector<Line> g_Lines;

void Collect(void* context, uint8_t kind, const char* text)
{
    g_Lines.push_back({context, kind, text});
}

void Other(void*, uint8_t, const char*) {}

TEST(Reporter, RegistrationProbesAtOnceAndANullCallbackIsRefused)
{
    int context = 0;
    CReporter::Get()->Report(REPORT_MESSAGE, 0, "before any callback");
    EXPECT_EQ(kzmRegisterCallback(&context, Collect), 0u);
    ASSERT_EQ(g_Lines.size(), 1u) << "the report made before registration was kept";
    EXPECT_EQ(g_Lines[0].context, nullptr);
    EXPECT_EQ(g_Lines[0].kind, 255);
    EXPECT_EQ(g_Lines[0].text, "test");
    EXPECT_EQ(kzmRegisterCallback(nullptr, nullptr), KZM_E_FAIL);
    CReporter::Get()->Report(REPORT_MESSAGE, 0, "still here");
    ASSERT_EQ(g_Lines.size(), 2u);
    EXPECT_EQ(g_Lines[1].context, &context);
    EXPECT_EQ(g_Lines[1].text, "still here");
    ASSERT_EQ(kzmRegisterCallback(nullptr, Other), 0u);
    CReporter::Get()->Report(REPORT_MESSAGE, 0, "to the other");
    EXPECT_EQ(g_Lines.size(), 2u);
}

struct FormatCase {
    uint8_t kind, indent;
    const char* format;
    const char* argument;
    std::string line;
};

TEST(Reporter, LinesAreIndentedTwoSpacesALevelAndCutAt511)
{
    const std::string longText(700, 'x');
    const FormatCase cases[] = {
        {REPORT_PROGRESS, 0, "erase sector %s OK", "03/12", "erase sector 03/12 OK"},
        {REPORT_TRACE, 4, "%s", "DEV_STATE_FLD \n", "        DEV_STATE_FLD \n"},
        {REPORT_NEWLINE, 7, "ignored %s", "5", "\r\n"},
        {REPORT_MESSAGE, 10, "%s", longText.c_str(), std::string(20, ' ') + std::string(491, 'x')},
        {REPORT_MESSAGE, 255, "%s", "abc", std::string(510, ' ') + "a"},
        {REPORT_MESSAGE, 0, "%s", longText.c_str(), std::string(511, 'x')},
    };
    int context = 0;
    ASSERT_EQ(kzmRegisterCallback(&context, Collect), 0u);
    for (const FormatCase& c : cases) {
        g_Lines.clear();
        CReporter::Get()->Report(c.kind, c.indent, c.format, c.argument);
        ASSERT_EQ(g_Lines.size(), 1u);
        EXPECT_EQ(g_Lines[0].text, c.line) << c.format;
        EXPECT_EQ(g_Lines[0].kind, c.kind);
        EXPECT_EQ(g_Lines[0].context, &context);
    }
}

} // namespace
