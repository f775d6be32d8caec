// The scan as a self-contained SVG chart: rate in MB/s over the position on
// the medium, with a grid, the minimum, mean and maximum marked, and gaps
// where a step carries no figure.
#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "rst/Rst.h"

namespace rst {
namespace {

// The page and the plot area inside it, in pixels.
constexpr int kWidth = 960;
constexpr int kHeight = 540;
constexpr double kLeft = 90;
constexpr double kRight = 800;
constexpr double kTop = 64;
constexpr double kBottom = 466;
// Beyond this many steps one point stands for a run of steps (their
// slowest and fastest), so that a scan of millions stays a small file.
constexpr size_t kMaxPoints = 2000;
constexpr size_t kRuns = 1000;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Px(double value) {
    return Format("%.2f", value);
}

std::string Escape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// 1, 2 or 5 times a power of ten: the first at least span / count.
double TickStep(double span, int count) {
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= raw * (1 - 1e-9)) {
            return factor * power;
        }
    }
    return 10 * power;
}

// A tick label with the decimals its step needs.
std::string TickLabel(double value, double step) {
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Scale {
    double XEnd;  // the end of the last step, in GB or in steps
    double YEnd;  // MB/s at the top of the plot
    double X(double position) const { return kLeft + position / XEnd * (kRight - kLeft); }
    double Y(double megabytes) const { return kBottom - megabytes / YEnd * (kBottom - kTop); }
};

void WriteGrid(std::ostream& out, const Scale& scale, double xTick, double yTick) {
    out << "<g id=\"x-ticks\" font-size=\"12\" text-anchor=\"middle\">\n";
    for (int i = 0; i * xTick <= scale.XEnd * (1 + 1e-9); ++i) {
        const std::string x = Px(scale.X(i * xTick));
        out << "<line x1=\"" << x << "\" y1=\"" << kTop << "\" x2=\"" << x << "\" y2=\"" << kBottom
            << "\" stroke=\"#d8d8d8\"/>\n<text x=\"" << x << "\" y=\"" << kBottom + 18 << "\">"
            << TickLabel(i * xTick, xTick) << "</text>\n";
    }
    out << "</g>\n<g id=\"y-ticks\" font-size=\"12\" text-anchor=\"end\">\n";
    for (int i = 0; i * yTick <= scale.YEnd * (1 + 1e-9); ++i) {
        const std::string y = Px(scale.Y(i * yTick));
        out << "<line x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << kRight << "\" y2=\"" << y
            << "\" stroke=\"#d8d8d8\"/>\n<text x=\"" << kLeft - 8 << "\" y=\"" << y
            << "\" dy=\"4\">" << TickLabel(i * yTick, yTick) << "</text>\n";
    }
    out << "</g>\n";
}

// One polyline for each run of steps with a figure; a run of one step is a
// dot. Steps that stored 0 break the line.
void WriteCurve(std::ostream& out, const std::vector<uint32_t>& rates, double unit,
                const Scale& scale) {
    const size_t per = rates.size() > kMaxPoints ? (rates.size() + kRuns - 1) / kRuns : 1;
    std::vector<std::pair<double, double>> run;
    auto endRun = [&] {
        if (run.size() == 1) {
            out << "<circle cx=\"" << Px(run[0].first) << "\" cy=\"" << Px(run[0].second)
                << "\" r=\"2.5\" fill=\"#1f4fd0\" stroke=\"none\"/>\n";
        } else if (!run.empty()) {
            out << "<polyline points=\"";
            for (size_t i = 0; i < run.size(); ++i) {
                out << (i == 0 ? "" : " ") << Px(run[i].first) << ',' << Px(run[i].second);
            }
            out << "\"/>\n";
        }
        run.clear();
    };
    out << "<g id=\"curve\" fill=\"none\" stroke=\"#1f4fd0\" stroke-width=\"2\" "
           "stroke-linejoin=\"round\">\n";
    for (size_t first = 0; first < rates.size(); first += per) {
        const size_t last = std::min(rates.size(), first + per);
        uint32_t low = UINT32_MAX;
        uint32_t high = 0;
        for (size_t step = first; step < last; ++step) {
            if (rates[step] != 0) {
                low = std::min(low, rates[step]);
                high = std::max(high, rates[step]);
            }
        }
        if (high == 0) {
            endRun();
            continue;
        }
        const double x = scale.X(static_cast<double>(first + last) / 2 * unit);
        run.emplace_back(x, scale.Y(low / 1000.0));
        if (per > 1) {
            run.emplace_back(x, scale.Y(high / 1000.0));
        }
    }
    endRun();
    out << "</g>\n";
}

// Maximum, mean and minimum as lines across the plot, told apart by colour
// and by dashes (for print), labelled to the right; labels never overlap.
void WriteMarkers(std::ostream& out, const Summary& summary, const Scale& scale) {
    struct Marker {
        const char* Name;
        double Value;
        const char* Colour;
        const char* Dashes;
    };
    const Marker markers[] = {{"max", summary.Max / 1000.0, "#2e7d32", "8 4"},
                              {"mean", summary.Mean / 1000.0, "#d35400", "14 4 3 4"},
                              {"min", summary.Min / 1000.0, "#c0392b", "3 3"}};
    out << "<g id=\"markers\" font-size=\"12\">\n";
    double labelY = 0;
    for (const Marker& marker : markers) {
        const double y = scale.Y(marker.Value);
        labelY = std::max(y + 4, labelY + 15);
        out << "<line class=\"" << marker.Name << "\" x1=\"" << kLeft << "\" y1=\"" << Px(y)
            << "\" x2=\"" << kRight << "\" y2=\"" << Px(y) << "\" stroke=\"" << marker.Colour
            << "\" stroke-width=\"1.2\" stroke-dasharray=\"" << marker.Dashes << "\"/>\n"
            << "<text x=\"" << kRight + 8 << "\" y=\"" << Px(labelY) << "\" fill=\""
            << marker.Colour << "\">" << marker.Name << ' ' << Format("%.1f", marker.Value)
            << " MB/s</text>\n";
    }
    out << "</g>\n";
}

}  // namespace

void WriteSvg(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes,
              const Summary& summary, const std::string& title) {
    // Positions in GB of 10^9 bytes, or in steps when the step size is not known.
    const double unit = stepBytes != 0 ? static_cast<double>(stepBytes) / 1e9 : 1;
    const double top = std::max(summary.Max / 1000.0 * 1.08, 0.001);
    const double yTick = TickStep(top, 5);
    const Scale scale{static_cast<double>(rates.size()) * unit, yTick * std::ceil(top / yTick)};
    double xTick = TickStep(scale.XEnd, 10);
    if (stepBytes == 0) {
        xTick = std::max(xTick, 1.0);
    }

    std::string about = Escape(title) + ": " + std::to_string(rates.size()) + " steps";
    if (stepBytes != 0) {
        about += " of " + std::to_string(stepBytes / 1024) + " KBytes (" +
                 std::to_string(stepBytes) + " bytes)";
    }
    std::string notes;
    if (summary.Unmeasured != 0) {
        notes = std::to_string(summary.Unmeasured) +
                " steps finished within one clock tick and carry no figure (gaps)";
    }
    if (rates.size() > kMaxPoints) {
        notes += (notes.empty() ? "" : "; ") +
                 std::string("each point pair: slowest and fastest of ") +
                 std::to_string((rates.size() + kRuns - 1) / kRuns) + " steps";
    }

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << kHeight << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight
        << "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" fill=\"#222222\">\n"
        << "<title>" << Escape(title) << ": read rate across the medium</title>\n"
        << "<rect width=\"" << kWidth << "\" height=\"" << kHeight << "\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"18\" font-weight=\"bold\">"
        << "Read rate across the medium</text>\n"
        << "<text x=\"" << kLeft << "\" y=\"42\" font-size=\"12\">" << about << "</text>\n";
    if (!notes.empty()) {
        out << "<text x=\"" << kLeft << "\" y=\"56\" font-size=\"12\">" << notes << "</text>\n";
    }
    WriteGrid(out, scale, xTick, yTick);
    out << "<rect id=\"frame\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\""
        << kRight - kLeft << "\" height=\"" << kBottom - kTop
        << "\" fill=\"none\" stroke=\"#555555\"/>\n";
    WriteCurve(out, rates, unit, scale);
    if (summary.Measured != 0) {
        WriteMarkers(out, summary, scale);
    }
    out << "<text x=\"" << (kLeft + kRight) / 2 << "\" y=\"" << kHeight - 24
        << "\" font-size=\"14\" text-anchor=\"middle\">"
        << (stepBytes != 0 ? "Position on the medium (GB, 1 GB = 10⁹ bytes)"
                           : "Position (step number; the step size was not given)")
        << "</text>\n"
        << "<text transform=\"translate(26 " << (kTop + kBottom) / 2
        << ") rotate(-90)\" font-size=\"14\" text-anchor=\"middle\">"
        << "Read rate (MB/s, 1 MB = 10⁶ bytes)</text>\n"
        << "</svg>\n";
}

}  // namespace rst
