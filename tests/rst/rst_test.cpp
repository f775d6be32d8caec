// velkrand-rst on result files the tests write: the table and the document
// exact, the chart read as XML and as rendered pixels, and every refusal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "rst/Rst.h"
#include "support/capture.h"

namespace {

using Json = nlohmann::ordered_json;
using Args = std::vector<std::string>;

// Four steps that finished within one clock tick (3, 5, 10, 11), an
// isolated measured step (4) and one tie among the slowest (9 and 14).
const std::vector<uint32_t> kRates = {152000, 161500, 147250, 0, 139125, 0,     128750, 133000,
                                      121900, 97541,  0,      0, 88001,  90500, 97541,  114700};
constexpr uint64_t kStepBytes = 100663296;  // --step-kb 98304

std::string Le32(uint32_t value) {
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string ResultBytes(const std::vector<uint32_t>& rates) {
    std::string bytes = Le32(uint32_t(rates.size() * 4));
    for (const uint32_t rate : rates) {
        bytes += Le32(rate);
    }
    return bytes;
}

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the program in process; input is what standard input holds.
Outcome Rst(const testsupport::TempDir& dir, const Args& args, const std::string& input = "") {
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
    "step,offset_bytes,offset_gb,kbytes_per_sec\n"
    "0,0,0.000000000,152000\n1,100663296,0.100663296,161500\n"
    "2,201326592,0.201326592,147250\n3,301989888,0.301989888,0\n"
    "4,402653184,0.402653184,139125\n5,503316480,0.503316480,0\n"
    "6,603979776,0.603979776,128750\n7,704643072,0.704643072,133000\n"
    "8,805306368,0.805306368,121900\n9,905969664,0.905969664,97541\n"
    "10,1006632960,1.006632960,0\n11,1107296256,1.107296256,0\n"
    "12,1207959552,1.207959552,88001\n13,1308622848,1.308622848,90500\n"
    "14,1409286144,1.409286144,97541\n15,1509949440,1.509949440,114700\n";

// Without the step size the offsets stay empty, and the program says why.
TEST(RstTable, CsvAndJsonCarryEveryStepAndTheSummary) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("scan.rst", ResultBytes(kRates));
    std::string bare = "step,offset_bytes,offset_gb,kbytes_per_sec\n";
    for (size_t step = 0; step < kRates.size(); ++step) {
        bare += std::to_string(step) + ",,," + std::to_string(kRates[step]) + "\n";
    }
    const std::string note = "velkrand-rst: no --step-kb: positions are step numbers\n";
    EXPECT_EQ(Rst(dir, {"--step-kb", "98304", file}).out, kCsv);
    const Outcome csv = Rst(dir, {"--csv", file});
    EXPECT_EQ(csv.out + csv.err, bare + note);

    // The 12 measured rates add up to 1471808; the two fastest are not
    // among the ten slowest, and the tie 9, 14 goes by position.
    for (const uint64_t stepBytes : {uint64_t{0}, kStepBytes}) {
        const Json none;
        auto row = [&](size_t step) {
            return Json{{"step", step},
                        {"offset_bytes", stepBytes == 0 ? none : Json(step * stepBytes)},
                        {"offset_gb", stepBytes == 0 ? none : Json(double(step * stepBytes) / 1e9)},
                        {"kbytes_per_sec", kRates[step]}};
        };
        Json expected = {{"step_count", 16},
                         {"step_bytes", stepBytes == 0 ? none : Json(stepBytes)},
                         {"positions", stepBytes == 0 ? "steps" : "bytes"},
                         {"measured_steps", 12},
                         {"unmeasured_steps", 4},
                         {"min_kbytes_per_sec", 88001},
                         {"max_kbytes_per_sec", 161500},
                         {"mean_kbytes_per_sec", 1471808 / 12.0},
                         {"slowest_steps", Json::array()},
                         {"steps", Json::array()}};
        for (const size_t step : {12u, 13u, 9u, 14u, 15u, 8u, 6u, 7u, 4u, 2u}) {
            expected["slowest_steps"].push_back(row(step));
        }
        for (size_t step = 0; step < kRates.size(); ++step) {
            expected["steps"].push_back(row(step));
        }
        const Outcome json = Rst(dir, stepBytes == 0 ? Args{"--json", file}
                                                     : Args{"--json", "--step-kb", "98304", file});
        EXPECT_EQ(json.status, 0);
        EXPECT_EQ(Json::parse(json.out), expected) << json.out;
    }
}

// An element of an XML document, with the id of the element it is in.
struct Element {
    std::string name, text, in;
    std::map<std::string, std::string> attributes;
    double operator[](const std::string& key) const { return std::stod(attributes.at(key)); }
};

// The elements of an XML document in order; throws unless it is
// well-formed: one root, tags balanced, attributes quoted and given once,
// no entities but the predefined ones.
std::vector<Element> ReadXml(const std::string& document) {
    auto fail = [](const std::string& what) { throw std::runtime_error("bad XML: " + what); };
    auto decode = [](std::string raw) {
        static const std::map<std::string, std::string> named = {
            {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
        for (size_t at = 0; (at = raw.find('&', at)) != std::string::npos; ++at) {
            const size_t end = raw.find(';', at);
            raw.replace(at, end - at + 1, named.at(raw.substr(at + 1, end - at - 1)));
        }
        return raw;
    };
    std::vector<Element> elements;
    std::vector<size_t> open;
    if (document.rfind("<?xml ", 0) != 0) {
        fail("no declaration");
    }
    for (size_t at = document.find("?>") + 2, lt, gt; at < document.size(); at = gt + 1) {
        lt = std::min(document.find('<', at), document.size());
        const std::string text = decode(document.substr(at, lt - at));
        if (open.empty() && text.find_first_not_of(" \n") != std::string::npos) {
            fail("text outside the root");
        }
        if (!open.empty()) {
            elements[open.back()].text += text;
        }
        if ((gt = document.find('>', lt)) == std::string::npos) {
            break;
        }
        std::string tag = document.substr(lt + 1, gt - lt - 1);
        if (tag[0] == '/') {
            if (open.empty() || elements[open.back()].name != tag.substr(1)) {
                fail("</" + tag.substr(1) + "> closes nothing");
            }
            open.pop_back();
            continue;
        }
        const bool empty = tag.back() == '/';
        std::istringstream in(empty ? tag.substr(0, tag.size() - 1) : tag);
        Element element;
        in >> element.name;
        if (!open.empty() && elements[open.back()].attributes.count("id") != 0) {
            element.in = elements[open.back()].attributes.at("id");
        }
        for (std::string name, value; (in >> std::ws).peek() != EOF;) {
            std::getline(in, name, '=');
            if (in.get() != '"' || !std::getline(in, value, '"') || in.eof() ||
                value.find('<') != std::string::npos ||
                !element.attributes.emplace(name, decode(value)).second) {
                fail("attribute " + name + " of <" + element.name + ">");
            }
        }
        if (open.empty() && !elements.empty()) {
            fail("a second root");
        }
        elements.push_back(element);
        if (!empty) {
            open.push_back(elements.size() - 1);
        }
    }
    if (!open.empty() || elements.empty()) {
        fail("unclosed or no root");
    }
    return elements;
}
// An axis of the chart as its own grid tells it: every tick line sits at
// the value its label gives, on one linear scale.
struct Axis {
    double pixel0, perUnit;
    double operator()(double value) const { return pixel0 + value * perUnit; }
};

struct Chart {
    std::vector<Element> elements;
    Axis x{}, y{};
    std::vector<Element> In(const std::string& id) const {
        std::vector<Element> inside;
        std::copy_if(elements.begin(), elements.end(), std::back_inserter(inside),
                     [&](const Element& element) { return element.in == id; });
        return inside;
    }
};

Chart ReadChart(const std::string& svg) {
    Chart chart{ReadXml(svg)};
    for (auto [id, axis, coordinate] :
         {std::tuple{"x-ticks", &chart.x, "x1"}, {"y-ticks", &chart.y, "y1"}}) {
        const std::vector<Element> t = chart.In(id);
        const double first = std::stod(t[1].text);
        axis->perUnit =
            (t[t.size() - 2][coordinate] - t[0][coordinate]) / (std::stod(t.back().text) - first);
        axis->pixel0 = t[0][coordinate] - first * axis->perUnit;
        for (size_t i = 0; i + 1 < t.size(); i += 2) {
            EXPECT_EQ(t[i].name + t[i + 1].name, "linetext");
            EXPECT_NEAR((*axis)(std::stod(t[i + 1].text)), t[i][coordinate], 0.02) << t[i + 1].text;
        }
    }
    return chart;
}

std::vector<std::pair<double, double>> Points(const Element& shape) {
    if (shape.name == "circle") {
        return {{shape["cx"], shape["cy"]}};
    }
    std::vector<std::pair<double, double>> points;
    std::istringstream in(shape.attributes.at("points"));
    for (std::string pair; in >> pair;) {
        points.emplace_back(std::stod(pair), std::stod(pair.substr(pair.find(',') + 1)));
    }
    return points;
}

// Each measured step is a point at its middle; the steps that stored 0
// break the curve, and the isolated step 4 is a dot.
TEST(RstChart, SvgPlotsEveryStepOnItsOwnScaleWithGapsAndMarkers) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("r&d.rst", ResultBytes(kRates));
    for (const uint64_t stepBytes : {uint64_t{0}, kStepBytes}) {
        SCOPED_TRACE(stepBytes);
        // The step size given, or standard input without it.
        const std::string name = stepBytes == 0 ? "standard input" : "r&d.rst";
        const Outcome run = Rst(
            dir, stepBytes == 0 ? Args{"--svg", "-"} : Args{"--svg", "--step-kb", "98304", file},
            ResultBytes(kRates));
        const Chart chart = ReadChart(run.out);
        const double unit = stepBytes == 0 ? 1 : double(stepBytes) / 1e9;  // GB or steps
        const std::vector<std::vector<size_t>> runs = {
            {0, 1, 2}, {4}, {6, 7, 8, 9}, {12, 13, 14, 15}};
        const std::vector<Element> curve = chart.In("curve");
        ASSERT_EQ(curve.size(), runs.size());
        for (size_t r = 0; r < runs.size(); ++r) {
            const auto points = Points(curve[r]);
            ASSERT_EQ(points.size(), runs[r].size());
            for (size_t i = 0; i < points.size(); ++i) {
                const size_t step = runs[r][i];
                EXPECT_NEAR(points[i].first, chart.x((double(step) + 0.5) * unit), 0.01) << step;
                EXPECT_NEAR(points[i].second, chart.y(kRates[step] / 1000.0), 0.01) << step;
            }
        }
        // The frame spans position 0 to the end of the last step, and rates from 0.
        const Element frame = *std::find_if(
            chart.elements.begin(), chart.elements.end(),
            [](const Element& e) { return e.name == "rect" && e.attributes.count("id"); });
        EXPECT_NEAR(frame["x"], chart.x(0), 0.01);
        EXPECT_NEAR(frame["x"] + frame["width"], chart.x(16 * unit), 0.01);
        EXPECT_NEAR(frame["y"] + frame["height"], chart.y(0), 0.01);
        EXPECT_NEAR(frame["y"], chart.y(std::stod(chart.In("y-ticks").back().text)), 0.01);
        const std::vector<Element> markers = chart.In("markers");
        for (const auto& [line, megabytes] :
             {std::pair{0u, 161.5}, {2u, 1471.808 / 12}, {4u, 88.001}}) {
            EXPECT_NEAR(markers[line]["y1"], chart.y(megabytes), 0.01) << line;
        }
        std::string texts;
        for (const Element& element : chart.elements) {
            const bool label = element.name == "title" || element.name == "text";
            texts += label && element.in.empty() ? element.text + "\n" : "";
        }
        EXPECT_EQ(texts,
                  name + ": read rate across the medium\nRead rate across the medium\n" + name +
                      ": 16 steps" +
                      std::string(stepBytes == 0 ? "" : " of 98304 KBytes (100663296 bytes)") +
                      "\n4 steps finished within one clock tick and carry no figure (gaps)\n" +
                      (stepBytes == 0 ? "Position (step number; the step size was not given)\n"
                                      : "Position on the medium (GB, 1 GB = 10⁹ bytes)\n") +
                      "Read rate (MB/s, 1 MB = 10⁶ bytes)\n");
        EXPECT_EQ(markers[1].text + markers[3].text + markers[5].text,
                  "max 161.5 MB/smean 122.7 MB/smin 88.0 MB/s");
    }
}

// Past 2000 steps a point pair stands for 3 steps here (2500 / 1000,
// rounded up): their slowest and fastest, at the middle of the three.
TEST(RstChart, ManyStepsAreDrawnAsTheSlowestAndFastestOfEachRun) {
    std::vector<uint32_t> rates(2500);
    for (size_t step = 0; step < rates.size(); ++step) {
        rates[step] = uint32_t(60000 + step * 37 % 1009 * 40);
    }
    rates[10] = 0;                                // inside run 3, steps 9 to 11
    rates[1500] = rates[1501] = rates[1502] = 0;  // all of run 500: a gap
    const testsupport::TempDir dir;
    const Chart chart = ReadChart(
        Rst(dir, {"--svg", "--step-kb", "1024", dir.Write("many.rst", ResultBytes(rates))}).out);
    const std::vector<Element> curve = chart.In("curve");
    ASSERT_EQ(curve.size(), 2u);
    const auto before = Points(curve[0]);
    const auto after = Points(curve[1]);
    ASSERT_EQ(before.size() + after.size(), 2 * (500 + 333u));  // the last run has one step
    ASSERT_EQ(before.size(), 2 * 500u);
    for (const auto& [point, middle, rate] :
         {std::tuple{before[6], 10.5, std::min(rates[9], rates[11])},
          {before[7], 10.5, std::max(rates[9], rates[11])},
          {after[0], 1504.5, std::min({rates[1503], rates[1504], rates[1505]})},
          {after[665], 2499.5, rates[2499]}}) {
        EXPECT_NEAR(point.first, chart.x(middle * 1048576 / 1e9), 0.01) << middle;
        EXPECT_NEAR(point.second, chart.y(rate / 1000.0), 0.01) << middle;
    }
}

// The chart as a renderer draws it (PNG through pngtopnm to P6 pixels):
// the curve's blue at every measured step's point and nowhere in a gap.
TEST(RstChart, RenderedCurveLiesOnItsPointsAndLeavesTheGapsEmpty) {
#ifdef _WIN32
    GTEST_SKIP() << "the renderer check runs on the build host";
#endif
    if (std::system("rsvg-convert --version >/dev/null 2>&1 && command -v pngtopnm >/dev/null")) {
        GTEST_SKIP() << "rsvg-convert or pngtopnm not installed (librsvg2-bin, netpbm)";
    }
    const testsupport::TempDir dir;
    const std::string svg = dir.path() + "/chart.svg", ppm = dir.path() + "/chart.ppm";
    Rst(dir, {"--svg", "--step-kb", "98304", "-o", svg, dir.Write("s.rst", ResultBytes(kRates))});
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
    const Chart chart = ReadChart(testsupport::ReadFile(svg));
    for (size_t step = 0; step < kRates.size(); ++step) {
        const int x = int(chart.x((double(step) + 0.5) * kStepBytes / 1e9));
        const int y = int(chart.y(kRates[step] / 1000.0));
        if (kRates[step] == 0) {
            for (int row = int(chart.y(200)); row <= y; ++row) {
                EXPECT_FALSE(blue(x, row)) << "gap of step " << step << " drawn at " << row;
            }
        } else {
            EXPECT_TRUE(blue(x, y) || blue(x, y + 1) || blue(x + 1, y)) << step;
            EXPECT_FALSE(blue(x, y - 25) || blue(x, y + 25)) << step;
        }
    }
}

// What each faulty file or command line gets: its status and one line.
TEST(RstCli, RefusalsGetTheirStatusAndOneLine) {
    const testsupport::TempDir dir;
    const std::string bad = dir.path() + "/bad.rst", named = "velkrand-rst: " + bad + ": ";
    const std::string good = ResultBytes({5, 7}), notResult = ": not a result file\n";
    const std::string missing = dir.path() + "/none.rst", noDir = dir.path() + "/no/out.csv";
    const std::tuple<std::string, Args, int, std::string> cases[] = {
        {"", {bad}, 1, named + "empty file, not a result file\n"},
        {"\x08",
         {bad},
         1,
         named + "only 1 bytes, too short for the 4-byte length field" + notResult},
        {Le32(6) + Le32(1) + "ab",
         {bad},
         1,
         named + "length field 6 is not a multiple of 4" + notResult},
        {"velkrand.rst\n",
         {bad},
         1,
         named + "length field 1802265974 is not a multiple of 4" + notResult},
        {Le32(0), {bad}, 1, named + "length field 0: the file holds no steps\n"},
        {Le32(12) + Le32(1) + Le32(2),
         {bad},
         1,
         named +
             "truncated table: the length field 12 needs 12 bytes after it, the file holds 8\n"},
        {Le32(8) + Le32(1) + Le32(2) + "\n",
         {bad},
         1,
         named + "length field 8 disagrees with the file's size, which is more than 4 + 8 bytes" +
             notResult},
        {Le32(268435460) + Le32(1),
         {bad},
         1,
         named +
             "length field 268435460 claims 67108865 steps, more than the 67108864 read at most" +
             notResult},
        {Le32(0xfffffffc),
         {"-"},
         1,
         "velkrand-rst: standard input: length field 4294967292 claims 1073741823 steps, more than "
         "the "
         "67108864 read at most" +
             notResult},
        {good,
         {missing},
         1,
         "velkrand-rst: " + missing + ": cannot open: " + std::strerror(ENOENT) + "\n"},
        {good, {"-o", bad, bad}, 1, named + "exists; --force replaces it\n"},
        {good,
         {"-o", noDir, bad},
         1,
         "velkrand-rst: " + noDir + ": cannot create a file beside it: " + std::strerror(ENOENT) +
             "\n"},
        {good, {}, 2, "velkrand-rst: RESULT-FILE is required (see --help)\n"},
        {good, {"--csv", "--svg", bad}, 2, "--svg"},
        {good, {"--step-kb", "0", bad}, 2, "--step-kb"},
        {good, {"--step-kb", "4194304", bad}, 2, "--step-kb"},
        {good, {"--step-kb", "4194303", bad}, 0, ""},
    };
    for (const auto& [content, args, status, err] : cases) {
        dir.Write("bad.rst", content);
        const Outcome run = Rst(dir, args, content);
        SCOPED_TRACE(std::to_string(content.size()) + (args.empty() ? "" : " " + args[0]));
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out.empty(), status != 0);
        if (err.rfind("velkrand-rst: ", 0) == 0 || err.empty()) {
            EXPECT_EQ(run.err, err);
        } else {  // the parser's own words, on one line of ours
            EXPECT_EQ(run.err.rfind("velkrand-rst: ", 0), 0u) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
            EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
        }
    }
}

// -o writes what standard output gets, refuses an existing file unless
// forced, never leaves a temporary file, and a bad input never touches it.
TEST(RstCli, OutputFilesAreWholeAndReplacedOnlyWhenForced) {
    const testsupport::TempDir dir;
    const std::string scan = dir.Write("scan.rst", ResultBytes(kRates));
    const std::string out = dir.path() + "/out.csv", bad = dir.Write("bad.rst", Le32(8));
    const std::string svg = Rst(dir, {"--svg", "--step-kb", "98304", "-"}, ResultBytes(kRates)).out;
    const std::tuple<Args, int, std::string, std::string> steps[] = {
        {{"--step-kb", "98304", "-o", out, scan}, 0, "", kCsv},
        {{"--svg", "--step-kb", "98304", "-o", out, scan},
         1,
         "velkrand-rst: " + out + ": exists; --force replaces it\n",
         kCsv},
        {{"--force", "-o", out, bad},
         1,
         "velkrand-rst: " + bad +
             ": truncated table: the length field 8 needs 8 bytes after it, "
             "the file holds 0\n",
         kCsv},
        {{"--svg", "--force", "--step-kb", "98304", "-o", out, "-"}, 0, "", svg},
    };
    for (const auto& [args, status, err, content] : steps) {
        const Outcome run = Rst(dir, args, ResultBytes(kRates));
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out + run.err, err);
        EXPECT_EQ(testsupport::ReadFile(out), content);
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            names.insert(entry.path().filename().string());
        }
        EXPECT_EQ(names, (std::set<std::string>{".stdin", "bad.rst", "out.csv", "scan.rst"}));
    }
    // A rename that fails (onto a directory) says why and removes its temporary file.
    const std::string sub = dir.path() + "/sub";
    std::filesystem::create_directory(sub);
    const Outcome onDirectory = Rst(dir, {"--force", "-o", sub, scan});
    EXPECT_EQ(onDirectory.status, 1);
    EXPECT_EQ(onDirectory.err,
              "velkrand-rst: " + sub + ": cannot write: " + std::strerror(EISDIR) + "\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 5);
}

}  // namespace
