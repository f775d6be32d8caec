// The progress line: while the linear scan and the workers run, one line
// on standard error, redrawn in place at most four times a second, and only
// when standard error is a terminal. It is drawn by the main thread alone,
// and never inside a timed interval: the scan draws between its steps, the
// workers only count their passes and the main thread draws while it waits.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds of the clock between two drawings, and before the first.
constexpr long kProgressIntervalMs = 250;

// What the scan's progress line says after stepsDone of stepCount steps of
// stepBytes, the last at lastRate bytes per millisecond, elapsedMs after
// the first step began.
std::string ScanProgressText(uint32_t stepsDone, uint32_t stepCount, uint32_t stepBytes,
                             uint32_t lastRate, uint64_t elapsedMs);
// What the workers' progress line says after passesDone of passesInAll
// passes, the latest at lastRate bytes per millisecond; leftMs below 0 when
// the time left is not known yet.
std::string WorkerProgressText(int32_t passesDone, int32_t passesInAll, double lastRate,
                               int64_t leftMs);

// A worker, after each pass and outside its timed interval: counts the
// pass and keeps its rate.
void NotePassDone(double rate);

// The scan's progress: its state between steps, and the drawing after
// step stepsDone, whose clock readings were stepStart and stepEnd.
struct ScanProgress {
    bool Shown;
    uint32_t StepCount;
    uint32_t StepBytes;
    long StartMs;     // the first step's first clock reading
    long LastDrawMs;  // the latest drawing, or the start
};
ScanProgress StartScanProgress(uint32_t stepCount, uint32_t stepBytes);
void ShowScanProgress(ScanProgress* progress, uint32_t stepsDone, uint32_t lastRate, long stepStart,
                      long stepEnd);

// The workers' progress, drawn from the completion wait.
struct WorkerProgress {
    bool Shown;
    int32_t PassesInAll;
    int32_t PassesAtStart;
    long StartMs;
    long LastDrawMs;
};
WorkerProgress StartWorkerProgress();
void ShowWorkerProgress(WorkerProgress* progress);

// Removes the line, if one is drawn.
void EndProgress();
