// Report formatting and the callback registration, through the reporter and
// through kzmRegisterCallback.
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

class ReporterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_Lines.clear();
        ASSERT_EQ(CReporter::Get()->SetCallback(&m_Context, Collect), 0u);
        g_Lines.clear(); // drop the probe call
    }
    int m_Context = 0;
};

TEST(ReporterRegistration, ProbeCallComesAtOnceWithNullContext)
{
    g_Lines.clear();
    int context = 0;
    EXPECT_EQ(kzmRegisterCallback(&context, Collect), 0u);
    ASSERT_EQ(g_Lines.size(), 1u);
    EXPECT_EQ(g_Lines[0].context, nullptr);
    EXPECT_EQ(g_Lines[0].kind, 255);
    EXPECT_EQ(g_Lines[0].text, "test");

    CReporter::Get()->Report(REPORT_MESSAGE, 0, "after");
    ASSERT_EQ(g_Lines.size(), 2u);
    EXPECT_EQ(g_Lines[1].context, &context);
}

TEST(ReporterRegistration, NullCallbackIsRefusedAndTheOldOneStays)
{
    g_Lines.clear();
    ASSERT_EQ(kzmRegisterCallback(nullptr, Collect), 0u);
    EXPECT_EQ(kzmRegisterCallback(nullptr, nullptr), KZM_E_FAIL);
    CReporter::Get()->Report(REPORT_MESSAGE, 0, "still here");
    ASSERT_EQ(g_Lines.size(), 2u);
    EXPECT_EQ(g_Lines[1].text, "still here");
}

TEST(ReporterRegistration, ALaterRegistrationReplacesTheEarlierOne)
{
    g_Lines.clear();
    ASSERT_EQ(kzmRegisterCallback(nullptr, Collect), 0u);
    ASSERT_EQ(kzmRegisterCallback(nullptr, Other), 0u);
    CReporter::Get()->Report(REPORT_MESSAGE, 0, "to the other");
    EXPECT_EQ(g_Lines.size(), 1u); // only the first probe reached Collect
}

TEST_F(ReporterTest, IndentIsTwoSpacesPerLevel)
{
    CReporter::Get()->Report(REPORT_PROGRESS, 0, "erase sector %02i/%02i OK", 3, 12);
    CReporter::Get()->Report(REPORT_TRACE, 4, "%s", "DEV_STATE_FLD \n");
    ASSERT_EQ(g_Lines.size(), 2u);
    EXPECT_EQ(g_Lines[0].text, "erase sector 03/12 OK");
    EXPECT_EQ(g_Lines[0].kind, REPORT_PROGRESS);
    EXPECT_EQ(g_Lines[0].context, &m_Context);
    EXPECT_EQ(g_Lines[1].text, "        DEV_STATE_FLD \n");
}

TEST_F(ReporterTest, NewlineIgnoresIndentAndFormat)
{
    CReporter::Get()->Report(REPORT_NEWLINE, 7, "ignored %d", 5);
    ASSERT_EQ(g_Lines.size(), 1u);
    EXPECT_EQ(g_Lines[0].text, "\r\n");
    EXPECT_EQ(g_Lines[0].kind, REPORT_NEWLINE);
}

TEST_F(ReporterTest, LongLinesAreCutAt511Characters)
{
    std::string longText(700, 'x');
    CReporter::Get()->Report(REPORT_MESSAGE, 10, "%s", longText.c_str());
    ASSERT_EQ(g_Lines.size(), 1u);
    EXPECT_EQ(g_Lines[0].text.size(), 511u);
    EXPECT_EQ(g_Lines[0].text.substr(0, 20), std::string(20, ' '));
    EXPECT_EQ(g_Lines[0].text.substr(20), std::string(491, 'x'));

    CReporter::Get()->Report(REPORT_MESSAGE, 255, "%s", "abc");
    ASSERT_EQ(g_Lines.size(), 2u);
    EXPECT_EQ(g_Lines[1].text.size(), 511u);
    EXPECT_EQ(g_Lines[1].text.back(), 'a');

    CReporter::Get()->Report(REPORT_MESSAGE, 0, "%s", longText.c_str());
    EXPECT_EQ(g_Lines[2].text, std::string(511, 'x'));
}

} // namespace
