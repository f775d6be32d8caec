// The summary of a scan, and the scan as CSV and as JSON.
#include <algorithm>
#include <cinttypes>
#include <nlohmann/json.hpp>

#include "rst/Rst.h"

namespace rst {
namespace {

using Json = nlohmann::ordered_json;

// A position in GB of 10^9 bytes, exact to the byte.
std::string Gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, bytes / 1000000000,
                  bytes % 1000000000);
    return text;
}

// One step as the CSV has it, for the JSON document.
Json StepRow(const std::vector<uint32_t>& rates, size_t step, uint64_t stepBytes) {
    const uint64_t offset = step * stepBytes;
    Json row = {{"step", step}, {"offset_bytes", nullptr}, {"offset_gb", nullptr}};
    if (stepBytes != 0) {
        row["offset_bytes"] = offset;
        row["offset_gb"] = static_cast<double>(offset) / 1e9;
    }
    row["kbytes_per_sec"] = rates[step];
    return row;
}

}  // namespace

Summary Summarize(const std::vector<uint32_t>& rates) {
    Summary summary;
    uint64_t sum = 0;
    std::vector<size_t> measured;
    for (size_t step = 0; step < rates.size(); ++step) {
        if (rates[step] == 0) {
            ++summary.Unmeasured;
            continue;
        }
        measured.push_back(step);
        sum += rates[step];
        summary.Min = measured.size() == 1 ? rates[step] : std::min(summary.Min, rates[step]);
        summary.Max = std::max(summary.Max, rates[step]);
    }
    summary.Measured = measured.size();
    if (summary.Measured != 0) {
        summary.Mean = static_cast<double>(sum) / static_cast<double>(summary.Measured);
    }
    const size_t slowest = std::min(kSlowestSteps, measured.size());
    std::partial_sort(
        measured.begin(), measured.begin() + static_cast<ptrdiff_t>(slowest), measured.end(),
        [&](size_t a, size_t b) { return rates[a] != rates[b] ? rates[a] < rates[b] : a < b; });
    summary.Slowest.assign(measured.begin(), measured.begin() + static_cast<ptrdiff_t>(slowest));
    return summary;
}

void WriteCsv(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes) {
    out << "step,offset_bytes,offset_gb,kbytes_per_sec\n";
    for (size_t step = 0; step < rates.size(); ++step) {
        out << step << ',';
        if (stepBytes != 0) {
            out << step * stepBytes << ',' << Gigabytes(step * stepBytes);
        } else {
            out << ',';
        }
        out << ',' << rates[step] << '\n';
    }
}

// The summary first, then the slowest steps and all steps, one step a
// line: a scan of millions of steps stays readable and never needs a
// document tree of its size.
void WriteJson(std::ostream& out, const std::vector<uint32_t>& rates, uint64_t stepBytes,
               const Summary& summary) {
    Json head = {{"step_count", rates.size()},
                 {"step_bytes", nullptr},
                 {"positions", stepBytes != 0 ? "bytes" : "steps"},
                 {"measured_steps", summary.Measured},
                 {"unmeasured_steps", summary.Unmeasured},
                 {"min_kbytes_per_sec", nullptr},
                 {"max_kbytes_per_sec", nullptr},
                 {"mean_kbytes_per_sec", nullptr}};
    if (stepBytes != 0) {
        head["step_bytes"] = stepBytes;
    }
    if (summary.Measured != 0) {
        head["min_kbytes_per_sec"] = summary.Min;
        head["max_kbytes_per_sec"] = summary.Max;
        head["mean_kbytes_per_sec"] = summary.Mean;
    }
    std::string text = head.dump(2);
    text.resize(text.size() - 2);  // reopen the object: drop "\n}"
    out << text;
    auto writeRows = [&](const char* name, size_t count, auto stepOf) {
        out << ",\n  \"" << name << "\": [";
        for (size_t row = 0; row < count; ++row) {
            out << (row == 0 ? "\n    " : ",\n    ")
                << StepRow(rates, stepOf(row), stepBytes).dump();
        }
        out << (count == 0 ? "]" : "\n  ]");
    };
    writeRows("slowest_steps", summary.Slowest.size(),
              [&](size_t row) { return summary.Slowest[row]; });
    writeRows("steps", rates.size(), [](size_t row) { return row; });
    out << "\n}\n";
}

}  // namespace rst
