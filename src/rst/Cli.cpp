// The command line: which table or chart, from which file, to where.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "rst/ResultFile.h"
#include "rst/Rst.h"

#ifndef VELKRAND_VERSION
#define VELKRAND_VERSION "unknown"
#endif

namespace rst {
namespace {

constexpr const char* kProgram = "velkrand-rst";
// The step of the scan is a 32-bit count of bytes.
constexpr uint32_t kMaxStepKb = 4194303;

enum class Format { Csv, Json, Svg };

struct Request {
    Format Kind = Format::Csv;
    uint32_t StepKb = 0;  // 0: not given
    std::string Input;
    std::string Output;  // empty: standard output
    bool Force = false;
};

void Write(std::ostream& out, const Request& request, const std::vector<uint32_t>& rates) {
    const uint64_t stepBytes = uint64_t{request.StepKb} * 1024;
    switch (request.Kind) {
        case Format::Csv:
            WriteCsv(out, rates, stepBytes);
            break;
        case Format::Json:
            WriteJson(out, rates, stepBytes, Summarize(rates));
            break;
        case Format::Svg:
            WriteSvg(out, rates, stepBytes, Summarize(rates),
                     request.Input == "-"
                         ? "standard input"
                         : std::filesystem::path(request.Input).filename().string());
            break;
    }
}

// Writes a temporary file beside the output and renames it over the
// output, so that a failed run never leaves a partial file under its name.
std::string WriteFile(const Request& request, const std::vector<uint32_t>& rates) {
    const std::string temporary =
        request.Output + ".tmp-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) {
        return std::string("cannot create a file beside it: ") + std::strerror(errno);
    }
    Write(file, request, rates);
    file.close();
    std::string failure;
    std::error_code renamed;
    if (!file) {
        failure = std::strerror(errno);
    } else if (std::filesystem::rename(temporary, request.Output, renamed); renamed) {
        // The C library's texts for its own codes: the C++ library's say
        // "Success" for them on some systems.
        failure = renamed.category() == std::generic_category() ? std::strerror(renamed.value())
                                                                : renamed.message();
    }
    if (!failure.empty()) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return "cannot write: " + failure;
    }
    return "";
}

}  // namespace

int RunRst(int argc, const char* const* argv, std::FILE* in, std::ostream& out, std::ostream& err) {
    Request request;
    CLI::App app{
        "Reads the result file of a linear read scan (velkrand.rst) and writes its rates as a "
        "CSV table, a JSON document or an SVG chart.",
        kProgram};
    app.set_version_flag("--version", std::string(kProgram) + " " + VELKRAND_VERSION);
    auto* csv = app.add_flag_callback(
        "--csv", [&] { request.Kind = Format::Csv; }, "write a CSV table (the default)");
    auto* json = app.add_flag_callback(
        "--json", [&] { request.Kind = Format::Json; },
        "write a JSON document: the table, minimum, maximum, mean and the slowest steps");
    auto* svg = app.add_flag_callback(
        "--svg", [&] { request.Kind = Format::Svg; }, "write an SVG chart of the rates");
    csv->excludes(json)->excludes(svg);
    json->excludes(svg);
    app.add_option("--step-kb", request.StepKb,
                   "the scan's step in KBytes of 1024 bytes (SingleStepInKBytes); without it, "
                   "positions are step numbers")
        ->check(CLI::Range(uint32_t{1}, kMaxStepKb));
    app.add_option("-o,--output", request.Output,
                   "write to FILE instead of standard output; an existing FILE is kept")
        ->option_text("FILE");
    app.add_flag("--force", request.Force, "replace an existing output FILE");
    app.add_option("RESULT-FILE", request.Input, "the result file; - reads standard input")
        ->required();
    app.footer("Exit status: 0 done, 1 a file that cannot be read or written, 2 a usage error.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::CallForVersion& version) {
        out << version.what() << '\n';
        return 0;
    } catch (const CLI::ParseError& error) {
        err << kProgram << ": " << error.what() << " (see --help)\n";
        return 2;
    }

    if (!request.Output.empty() && !request.Force && std::filesystem::exists(request.Output)) {
        err << kProgram << ": " << request.Output << ": exists; --force replaces it\n";
        return 1;
    }
    const bool standardInput = request.Input == "-";
    std::FILE* file = standardInput ? in : std::fopen(request.Input.c_str(), "rb");
    if (file == nullptr) {
        err << kProgram << ": " << request.Input << ": cannot open: " << std::strerror(errno)
            << '\n';
        return 1;
    }
    const ResultTable table = ReadResultFile(file);
    if (!standardInput) {
        std::fclose(file);
    }
    const std::string name = standardInput ? "standard input" : request.Input;
    if (!table.Error.empty()) {
        err << kProgram << ": " << name << ": " << table.Error << '\n';
        return 1;
    }
    if (request.Output.empty()) {
        Write(out, request, table.Rates);
        if (!out.flush()) {
            err << kProgram << ": cannot write standard output\n";
            return 1;
        }
    } else if (const std::string error = WriteFile(request, table.Rates); !error.empty()) {
        err << kProgram << ": " << request.Output << ": " << error << '\n';
        return 1;
    }
    if (request.StepKb == 0) {
        err << kProgram << ": no --step-kb: positions are step numbers\n";
    }
    return 0;
}

}  // namespace rst
