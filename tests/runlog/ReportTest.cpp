// The reports as their readers take them: JUnit XML and CSV read back with
// Python's own xml and csv modules, the JSON rows read back by the library.
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Report.h"
#include "RunlogSupport.h"

using namespace kzlog;

namespace {

std::vector<RunRecord> Batch()
{
    std::vector<RunRecord> rows;
    for (int i = 0; i < 4; ++i) {
        RunRecord& r = rows.emplace_back(
            runlogtest::Row("KZ00012" + std::to_string(i), "2024-05-07T09:15:0" + std::to_string(i) + ".000Z"));
        r.station = "line-1";
        r.deviceId = "0x000000000000010" + std::to_string(i);
        r.image = "/line/app, v2.hex";
        r.imageSha256 = std::string(64, 'c');
        r.seconds = 1.5;
        r.stamps = {{0x7F00, "u32le", "counter:units", std::to_string(1000 + i), {0xE8, 0x03, 0, 0}}};
    }
    rows[2].result = 0xE0FE0004;
    rows[2].exitCode = 7;
    rows[2].exitName = "device";
    rows[2].message = "write of sector <3> failed & \"stopped\"\x01";
    return rows;
}

// What Python's modules read from a file: one line of text per fact.
std::string Python(const std::string& script, const std::string& file)
{
    const kzsupport::RunResult r = kzsupport::RunToEnd("python3", {"-c", script, file});
    return r.out + r.err;
}

bool HavePython()
{
    return kzsupport::RunToEnd("python3", {"-c", "1"}).exit == 0;
}

TEST(Report, JUnitIsValidXmlWithOneCasePerBoardAndItsFailure)
{
    if (!HavePython())
        GTEST_SKIP() << "no python3 to read the XML back";
    runlogtest::TempDir dir;
    const std::string file = dir.File("junit.xml", JUnitText(Batch(), "kazmir program"));
    const std::string read = Python("import sys, xml.etree.ElementTree as E\n"
                                    "s = E.parse(sys.argv[1]).getroot().find(\"testsuite\")\n"
                                    "print(s.get(\"name\"), s.get(\"tests\"), s.get(\"failures\"), s.get(\"time\"))\n"
                                    "for c in s.iter(\"testcase\"):\n"
                                    "  f = c.find(\"failure\")\n"
                                    "  print(c.get(\"name\"), c.get(\"classname\"), c.get(\"time\"),\n"
                                    "        f is not None and (f.get(\"type\") + \"|\" + f.get(\"message\")))\n",
                                    file);
    EXPECT_EQ(read, "kazmir program 4 1 6.000\n"
                    "KZ000120 kazmir.program 1.500 False\n"
                    "KZ000121 kazmir.program 1.500 False\n"
                    "KZ000122 kazmir.program 1.500 device|write of sector <3> failed & \"stopped\"?\n"
                    "KZ000123 kazmir.program 1.500 False\n");
}

TEST(Report, CsvReadsBackFieldForField)
{
    if (!HavePython())
        GTEST_SKIP() << "no python3 to read the CSV back";
    runlogtest::TempDir dir;
    const std::string file = dir.File("runs.csv", CsvText(Batch()));
    const std::string read = Python("import sys, csv\n"
                                    "rows = list(csv.DictReader(open(sys.argv[1], newline=\"\")))\n"
                                    "print(len(rows))\n"
                                    "r = rows[2]\n"
                                    "for k in (\"serial\", \"image\", \"result\", \"exit_name\", \"message\", "
                                    "\"seconds\", \"stamps\"):\n"
                                    "  print(k, repr(r[k]))\n",
                                    file);
    EXPECT_EQ(read, "4\n"
                    "serial 'KZ000122'\n"
                    "image '/line/app, v2.hex'\n"
                    "result '0xE0FE0004'\n"
                    "exit_name 'device'\n"
                    "message 'write of sector <3> failed & \"stopped\"\\x01'\n"
                    "seconds '1.500'\n"
                    "stamps '0x00007F00=1002'\n");
}

TEST(Report, JsonRowsReadBackAsTheyWere)
{
    for (const RunRecord& row : Batch()) {
        std::string error;
        const auto back = FromJson(Json::parse(JsonLines({row})), error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(ToJson(*back), ToJson(row));
    }
    const Json row = ToJson(Batch()[0]);
    for (const char* key : {"time", "station", "serial", "device_id", "command", "image", "image_sha256", "result",
                            "exit_name", "stamps"})
        EXPECT_TRUE(row.contains(key)) << key;
    std::string error;
    Json broken = row;
    broken["stamps"][0]["bytes"] = "e80";
    EXPECT_FALSE(FromJson(broken, error));
    broken.erase("stamps");
    broken["result"] = "0";
    EXPECT_FALSE(FromJson(broken, error));
}

TEST(Report, TableShowsOneLinePerRunUnderItsHeading)
{
    const std::string table = TableText(Batch());
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "Time (UTC)           Station  Serial    Command  Result             Image        SHA-256       Stamps");
    EXPECT_NE(table.find("2024-05-07 09:15:02  line-1   KZ000122  program  device 0xE0FE0004  app, v2.hex  "
                         "cccccccccccc  0x00007F00=1002\n"),
              std::string::npos)
        << table;
}

} // namespace
