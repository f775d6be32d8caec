#include "bench/Progress.h"

#include <cstdio>

#include "platform/win32.h"
#include "state/Fields.h"
#include "state/RunState.h"

namespace {

// Decided once: whether standard error is a terminal.
bool ProgressWanted() {
    static const bool wanted = [] {
        const HANDLE error = os::GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        return error != nullptr && error != INVALID_HANDLE_VALUE &&
               os::GetConsoleMode(error, &mode) != 0;
    }();
    return wanted;
}

// The length of the line on the terminal now (main thread only).
size_t drawnLength = 0;

// Draws text over the previous line and leaves the cursor at the line's
// start, so that anything else printed to the terminal meanwhile begins
// in its own first column, as it would without the line.
void DrawProgress(const std::string& text) {
    std::string out = "\r" + text;
    if (drawnLength > text.size()) {
        out.append(drawnLength - text.size(), ' ');
    }
    out += '\r';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    drawnLength = text.size();
}

std::string TimeLeft(uint64_t milliseconds) {
    const uint64_t seconds = milliseconds / 1000;
    return Format("%llu:%02u:%02u left", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
}

}  // namespace

std::string ScanProgressText(uint32_t stepsDone, uint32_t stepCount, uint32_t stepBytes,
                             uint32_t lastRate, uint64_t elapsedMs) {
    const uint64_t percent = uint64_t{stepsDone} * 100 / stepCount;
    const double done = static_cast<double>(uint64_t{stepsDone} * stepBytes) / 1e9;
    const double total = static_cast<double>(uint64_t{stepCount} * stepBytes) / 1e9;
    return Format("velkrand: linear scan %3u%%, %.2f of %.2f GB, %u KB/s, ",
                  static_cast<unsigned>(percent), done, total, lastRate) +
           TimeLeft(elapsedMs * (stepCount - stepsDone) / stepsDone);
}

std::string WorkerProgressText(int32_t passesDone, int32_t passesInAll, double lastRate,
                               int64_t leftMs) {
    const int percent =
        passesInAll > 0 ? static_cast<int>(int64_t{passesDone} * 100 / passesInAll) : 0;
    std::string line =
        Format("velkrand: workers %3d%%, %d of %d passes", percent, passesDone, passesInAll);
    if (passesDone > 0) {
        line += Format(", %.1f KB/s", lastRate);
    }
    if (leftMs >= 0) {
        line += ", " + TimeLeft(static_cast<uint64_t>(leftMs));
    }
    return line;
}

void NotePassDone(double rate) {
    State.LastPassRate.store(rate, std::memory_order_relaxed);
    State.PassesDone.fetch_add(1, std::memory_order_relaxed);
}

ScanProgress StartScanProgress(uint32_t stepCount, uint32_t stepBytes) {
    return {ProgressWanted(), stepCount, stepBytes, 0, 0};
}

void ShowScanProgress(ScanProgress* progress, uint32_t stepsDone, uint32_t lastRate, long stepStart,
                      long stepEnd) {
    if (!progress->Shown) {
        return;
    }
    if (stepsDone == 1) {
        progress->StartMs = stepStart;
        progress->LastDrawMs = stepStart;
    }
    // Nothing after the last step: the line goes before the listing.
    if (stepsDone >= progress->StepCount || stepEnd - progress->LastDrawMs < kProgressIntervalMs) {
        return;
    }
    progress->LastDrawMs = stepEnd;
    DrawProgress(ScanProgressText(stepsDone, progress->StepCount, progress->StepBytes, lastRate,
                                  static_cast<uint64_t>(stepEnd - progress->StartMs)));
}

WorkerProgress StartWorkerProgress() {
    WorkerProgress progress{ProgressWanted() && State.RealNumberOfThreads > 0, 0, 0, 0, 0};
    if (progress.Shown) {
        const int32_t passesEach = State.SoftwareIo != 0 ? 5 : (State.ShowCacheSpeed != 0 ? 5 : 4);
        progress.PassesInAll = State.RealNumberOfThreads * passesEach;
        progress.PassesAtStart = State.PassesDone.load(std::memory_order_relaxed);
        progress.StartMs = os::clock();
        progress.LastDrawMs = progress.StartMs;
    }
    return progress;
}

void ShowWorkerProgress(WorkerProgress* progress) {
    if (!progress->Shown) {
        return;
    }
    const long now = os::clock();
    if (now - progress->LastDrawMs < kProgressIntervalMs) {
        return;
    }
    progress->LastDrawMs = now;
    const int32_t done = State.PassesDone.load(std::memory_order_relaxed);
    const int64_t since = done - progress->PassesAtStart;
    const int64_t left = progress->PassesInAll > done ? progress->PassesInAll - done : 0;
    DrawProgress(WorkerProgressText(done, progress->PassesInAll,
                                    State.LastPassRate.load(std::memory_order_relaxed),
                                    since > 0 ? (now - progress->StartMs) * left / since : -1));
}

void EndProgress() {
    if (drawnLength > 0) {
        // Blanks between two returns, made in place (concatenated, the
        // Windows cross compiler warns of an overlap that cannot happen).
        std::string blank(drawnLength + 2, ' ');
        blank.front() = '\r';
        blank.back() = '\r';
        std::fputs(blank.c_str(), stderr);
        std::fflush(stderr);
        drawnLength = 0;
    }
}
