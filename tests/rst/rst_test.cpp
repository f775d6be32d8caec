// velkrand-rst: the table and document exact, the chart by line and in pixels, every refusal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "rst/Rst.h"
#include "support/capture.h"

namespace {

using Json = nlohmann::ordered_json;
using Args = std::vector<std::string>;

// Steps 3, 5, 10, 11 finished within a tick; 4 is an isolated measured step; 9 and 14 tie.
const std::vector<uint32_t> kRates = {152000, 161500, 147250, 0, 139125, 0,     128750, 133000,
                                      121900, 97541,  0,      0, 88001,  90500, 97541,  114700};
constexpr uint64_t kStepBytes = 100663296;  // --step-kb 98304

// A result file: the table's length in bytes, then each rate, 32-bit LE.
std::string ResultBytes(const std::vector<uint32_t>& rates) {
    std::string bytes;
    for (size_t i = 0; i <= rates.size(); ++i) {
        const uint32_t v = i == 0 ? uint32_t(rates.size() * 4) : rates[i - 1];
        bytes += {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    }
    return bytes;
}

// The program's status, standard output and error, run in process.
std::tuple<int, std::string, std::string> Rst(const testsupport::TempDir& dir, const Args& args,
                                              const std::string& input = ResultBytes(kRates)) {
    std::FILE* in = std::fopen(dir.Write(".stdin", input).c_str(), "rb");
    std::vector<const char*> argv = {"velkrand-rst"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out, err;
    const int status = rst::RunRst(int(argv.size()), argv.data(), in, out, err);
    std::fclose(in);
    return {status, out.str(), err.str()};
}

// Offsets are step x 100663296 bytes, in GB of 10^9 bytes.
const std::string kCsv =
    "step,offset_bytes,offset_gb,kbytes_per_sec\n0,0,0.000000000,152000\n"
    "1,100663296,0.100663296,161500\n2,201326592,0.201326592,147250\n3,301989888,0.301989888,0\n"
    "4,402653184,0.402653184,139125\n5,503316480,0.503316480,0\n6,603979776,0.603979776,128750\n"
    "7,704643072,0.704643072,133000\n8,805306368,0.805306368,121900\n"
    "9,905969664,0.905969664,97541\n10,1006632960,1.006632960,0\n11,1107296256,1.107296256,0\n"
    "12,1207959552,1.207959552,88001\n13,1308622848,1.308622848,90500\n"
    "14,1409286144,1.409286144,97541\n15,1509949440,1.509949440,114700\n";

// The 12 measured rates sum to 1471808; the fastest two aren't among the slowest ten; 9, 14 tie.
TEST(RstTable, CsvAndJsonCarryEveryStepAndTheSummary) {
    const testsupport::TempDir dir;
    EXPECT_EQ(std::get<1>(Rst(dir, {"--step-kb", "98304", "-"})), kCsv);
    auto row = [&](size_t step) {
        return Json{{"step", step},
                    {"offset_bytes", step * kStepBytes},
                    {"offset_gb", double(step * kStepBytes) / 1e9},
                    {"kbytes_per_sec", kRates[step]}};
    };
    Json expected = Json::parse(R"({"step_count": 16, "step_bytes": 100663296, "positions": "bytes",
        "measured_steps": 12, "unmeasured_steps": 4, "min_kbytes_per_sec": 88001,
        "max_kbytes_per_sec": 161500, "mean_kbytes_per_sec": 0, "slowest_steps": [], "steps": []})");
    expected["mean_kbytes_per_sec"] = 1471808 / 12.0;
    for (const size_t step : {12u, 13u, 9u, 14u, 15u, 8u, 6u, 7u, 4u, 2u}) {
        expected["slowest_steps"].push_back(row(step));
    }
    for (size_t step = 0; step < kRates.size(); ++step) {
        expected["steps"].push_back(row(step));
    }
    EXPECT_EQ(Json::parse(std::get<1>(Rst(dir, {"--json", "--step-kb", "98304", "-"}))), expected);
    // Without the step size the offsets stay empty, and the program says why.
    std::string bare = "step,offset_bytes,offset_gb,kbytes_per_sec\n";
    for (size_t step = 0; step < kRates.size(); ++step) {
        bare += std::to_string(step) + ",,," + std::to_string(kRates[step]) + "\n";
    }
    const auto [status, csv, note] = Rst(dir, {"--csv", "-"});
    EXPECT_EQ(csv + note, bare + "velkrand-rst: no --step-kb: positions are step numbers\n");
    const Json json = Json::parse(std::get<1>(Rst(dir, {"--json", "-"})));
    EXPECT_EQ(Json({json["step_bytes"], json["positions"], json["steps"][1]}),
              Json::parse(R"([null, "steps", {"step": 1, "offset_bytes": null, "offset_gb": null,
                  "kbytes_per_sec": 161500}])"));
}

// The chart, one element a line as the program writes it (a renderer reads it as XML): its texts, a
// line each; the curve's lines and dots; the scales of its frame, which spans positions 0 to xEnd
// and rates 0 to yEnd.
struct Chart {
    std::string texts;
    std::vector<std::vector<std::pair<double, double>>> curve;
    double left = 0, perX = 0, bottom = 0, perY = 0;
    double x(double position) const { return left + position * perX; }
    double y(double megabytes) const { return bottom - megabytes * perY; }
};

Chart ReadChart(const std::string& svg, double xEnd, double yEnd) {
    Chart chart;
    std::istringstream lines(svg);
    std::string group;
    for (std::string line; std::getline(lines, line);) {
        auto attr = [&](const std::string& key) {
            const size_t at = line.find(" " + key + "=\"") + key.size() + 3;
            return line.substr(at, line.find('"', at) - at);
        };
        if (line.starts_with("<g ") || line == "</g>") {
            group = line == "</g>" ? "" : attr("id");
            continue;
        }
        if (line.starts_with("<title>") || line.starts_with("<text ")) {
            const size_t end = line.find('>');
            chart.texts += line.substr(end + 1, line.rfind("</") - end - 1) + "\n";
        }
        if (line.starts_with("<rect id=\"frame\"")) {
            chart.left = std::stod(attr("x")), chart.perX = std::stod(attr("width")) / xEnd;
            chart.perY = std::stod(attr("height")) / yEnd;
            chart.bottom = std::stod(attr("y")) + std::stod(attr("height"));
        } else if (group == "curve") {
            std::istringstream in(line.starts_with("<circle") ? attr("cx") + "," + attr("cy")
                                                              : attr("points"));
            chart.curve.emplace_back();
            for (std::string pair; in >> pair;) {
                chart.curve.back().emplace_back(std::stod(pair),
                                                std::stod(pair.substr(pair.find(',') + 1)));
            }
        }
    }
    return chart;
}

// Each measured step is a point at its middle; steps that stored 0 break the curve; step 4 is a
// dot. The grids: 1, 2 or 5 times a power of ten, to 8 % above the fastest rate, and to the end of
// the last step (1.61 GB). A renderer reads it as XML and draws the curve's points and no gap.
TEST(RstChart, SvgPlotsEveryStepOnItsOwnScaleWithGapsAndMarkers) {
    const testsupport::TempDir dir;
    const std::string svg = dir.path() + "/chart.svg", ppm = dir.path() + "/chart.ppm";
    Rst(dir, {"--svg", "--step-kb", "98304", "-o", svg, dir.Write("r&d.rst", ResultBytes(kRates))});
    const Chart chart = ReadChart(testsupport::ReadFile(svg), 16 * kStepBytes / 1e9, 200);
    const std::vector<std::vector<size_t>> runs = {{0, 1, 2}, {4}, {6, 7, 8, 9}, {12, 13, 14, 15}};
    ASSERT_EQ(chart.curve.size(), runs.size());
    for (size_t r = 0; r < runs.size(); ++r) {
        ASSERT_EQ(chart.curve[r].size(), runs[r].size());
        for (size_t i = 0; i < runs[r].size(); ++i) {
            const size_t step = runs[r][i];
            const double x = chart.x((double(step) + 0.5) * kStepBytes / 1e9);
            EXPECT_NEAR(chart.curve[r][i].first, x, 0.01) << step;
            EXPECT_NEAR(chart.curve[r][i].second, chart.y(kRates[step] / 1000.0), 0.01) << step;
        }
    }
    EXPECT_EQ(
        chart.texts,
        "r&amp;d.rst: read rate across the medium\nRead rate across the medium\n"
        "r&amp;d.rst: 16 steps of 98304 KBytes (100663296 bytes)\n"
        "4 steps finished within one clock tick and carry no figure (gaps)\n"
        "0.0\n0.2\n0.4\n0.6\n0.8\n1.0\n1.2\n1.4\n1.6\n0\n50\n100\n150\n200\n"
        "max 161.5 MB/s\nmean 122.7 MB/s\nmin 88.0 MB/s\n"
        "Position on the medium (GB, 1 GB = 10⁹ bytes)\nRead rate (MB/s, 1 MB = 10⁶ bytes)\n");

    if (std::system("rsvg-convert --version >/dev/null 2>&1 && command -v pngtopnm >/dev/null")) {
        GTEST_SKIP() << "rsvg-convert or pngtopnm not installed (librsvg2-bin, netpbm)";
    }
    ASSERT_EQ(std::system(("rsvg-convert '" + svg + "' | pngtopnm > '" + ppm + "'").c_str()), 0);
    std::ifstream in(ppm, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, depth = 0;
    in >> magic >> width >> height >> depth;
    in.get();
    const std::string rgb{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(magic + " " + std::to_string(depth) + " " + std::to_string(rgb.size()),
              "P6 255 " + std::to_string(width * height * 3));
    // Anti-aliased edges of the curve pass; no grid, marker or text colour does.
    auto blue = [&](int x, int y) {
        const auto* pixel = reinterpret_cast<const unsigned char*>(&rgb[size_t(y * width + x) * 3]);
        return pixel[2] > 150 && pixel[2] - pixel[0] > 80 && pixel[2] - pixel[1] > 50;
    };
    for (size_t step = 0; step < kRates.size(); ++step) {
        const int x = int(chart.x((double(step) + 0.5) * kStepBytes / 1e9));
        const int y = int(chart.y(kRates[step] / 1000.0));
        EXPECT_TRUE(kRates[step] == 0 || blue(x, y) || blue(x, y + 1) || blue(x + 1, y)) << step;
        EXPECT_FALSE(kRates[step] != 0 && (blue(x, y - 25) || blue(x, y + 25))) << step;
    }
}

// Past 2000 steps a point pair stands for a run of 3 steps (2500 / 1000, rounded up): its slowest
// and fastest at its middle; a run of 0 is a gap.
TEST(RstChart, ManyStepsAreDrawnAsTheSlowestAndFastestOfEachRun) {
    std::vector<uint32_t> rates(2500, 70000);
    rates[9] = 61000, rates[10] = 0, rates[11] = 71000;  // run 3
    rates[1500] = rates[1501] = rates[1502] = 0;         // run 500
    const testsupport::TempDir dir;
    const Chart whole = ReadChart(
        std::get<1>(Rst(dir, {"--svg", "-"}, ResultBytes(std::vector<uint32_t>(2000, 70000)))),
        2000, 80);
    ASSERT_EQ(whole.curve.size(), 1u);
    ASSERT_EQ(whole.curve[0].size(), 2000u);  // up to 2000 steps, a point each
    for (const size_t step : {size_t{1}, size_t{1999}}) {
        EXPECT_NEAR(whole.curve[0][step].first, whole.x(double(step) + 0.5), 0.01) << step;
    }
    const Chart chart =
        ReadChart(std::get<1>(Rst(dir, {"--svg", "-"}, ResultBytes(rates))), 2500, 80);
    EXPECT_EQ(chart.texts.substr(0, 44), "standard input: read rate across the medium\n");
    EXPECT_NE(chart.texts.find("\n0\n500\n1000\n1500\n2000\n2500\n0\n20\n40\n60\n80\n"),
              std::string::npos);
    ASSERT_EQ(chart.curve.size(), 2u);
    ASSERT_EQ(chart.curve[0].size() + chart.curve[1].size(), 2 * (500 + 333u));  // the last: 1
    for (const auto& [point, middle, megabytes] : {std::tuple{chart.curve[0][6], 10.5, 61.0},
                                                   {chart.curve[0][7], 10.5, 71.0},
                                                   {chart.curve[1][0], 1504.5, 70.0},
                                                   {chart.curve[1][665], 2499.5, 70.0}}) {
        EXPECT_NEAR(point.first, chart.x(middle), 0.01) << middle;
        EXPECT_NEAR(point.second, chart.y(megabytes), 0.01) << middle;
    }
}

// What each faulty file or command line gets: its status and one line.
TEST(RstCli, RefusalsGetTheirStatusAndOneLine) {
    const testsupport::TempDir dir;
    const std::string bad = dir.path() + "/bad.rst", missing = dir.path() + "/none.rst";
    const std::string noDir = dir.path() + "/no/out.csv", good = ResultBytes({5, 7});
    // What bad.rst holds, the arguments, the status and the line after the name.
    auto expect = [&](const std::string& content, const Args& args, int status,
                      const std::string& line) {
        dir.Write("bad.rst", content);
        const auto [got, out, err] = Rst(dir, args, content);
        EXPECT_EQ(got, status) << line;
        EXPECT_EQ(out.empty(), status != 0) << line;
        EXPECT_EQ(err, status == 0 ? "" : "velkrand-rst: " + line + "\n");
    };
    const std::string named = bad + ": ", notResult = ": not a result file";
    expect("", {bad}, 1, named + "empty file, not a result file");
    expect("velkrand.rst\n", {bad}, 1,
           named + "length field 1802265974 is not a multiple of 4" + notResult);
    expect(ResultBytes({}), {bad}, 1, named + "length field 0: the file holds no steps");
    expect(
        ResultBytes({1, 2, 3}).substr(0, 12), {bad}, 1,
        named + "truncated table: the length field 12 needs 12 bytes after it, the file holds 8");
    expect(ResultBytes({1, 2}) + "\n", {bad}, 1,
           named + "length field 8 disagrees with the file's size, which is more than 4 + 8 bytes" +
               notResult);
    expect("\xfc\xff\xff\xff", {"-"}, 1,
           "standard input: length field 4294967292 claims 1073741823 steps, more than the "
           "67108864 read at most" +
               notResult);
    expect(good, {missing}, 1, missing + ": cannot open: " + std::strerror(ENOENT));
    expect(good, {"-o", noDir, bad}, 1,
           noDir + ": cannot create a file beside it: " + std::strerror(ENOENT));
    const std::string range = " not in range 1 to 4194303 (see --help)";
    expect(good, {}, 2, "RESULT-FILE is required (see --help)");
    expect(good, {"--step-kb", "4194304", bad}, 2, "--step-kb: Value 4194304" + range);
    expect(good, {"--step-kb", "4194303", bad}, 0, "");
}

// -o writes what standard output gets, replaces a file only if forced, leaves no temporary file.
TEST(RstCli, OutputFilesAreWholeAndReplacedOnlyWhenForced) {
    const testsupport::TempDir dir;
    const std::string out = dir.path() + "/out.csv", sub = dir.path() + "/sub";
    const std::string svg = std::get<1>(Rst(dir, {"--svg", "--step-kb", "98304", "-"}));
    std::filesystem::create_directory(sub);
    auto expect = [&](const Args& args, const std::string& line, const std::string& content) {
        const auto [status, printed, err] = Rst(dir, args);
        EXPECT_EQ(status, line.empty() ? 0 : 1);
        EXPECT_EQ(printed + err, line.empty() ? "" : "velkrand-rst: " + line + "\n");
        EXPECT_EQ(testsupport::ReadFile(out), content);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
    };
    expect({"--step-kb", "98304", "-o", out, "-"}, "", kCsv);
    expect({"--svg", "--step-kb", "1", "-o", out, "-"}, out + ": exists; --force replaces it",
           kCsv);
    expect({"--svg", "--force", "--step-kb", "98304", "-o", out, "-"}, "", svg);
    // A rename that fails (onto a directory) says why.
    expect({"--force", "--step-kb", "1", "-o", sub, "-"},
           sub + ": cannot write: " + std::strerror(EISDIR), svg);
}

}  // namespace
