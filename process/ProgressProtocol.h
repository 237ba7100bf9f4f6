// The integers through which the install worker tells a progress display
// where to go, and the display's step towards them. The worker and the
// display's timer run on different threads; the display's step is a
// compare-and-exchange, so a value the worker writes is never overwritten by
// a step computed from an older value. The display ends only on the worker's
// final word, a flag of its own that nothing but the worker writes: a bar
// that reaches its end while the worker still works stays there.
#pragma once

#include <atomic>
#include <cstdint>

enum : int32_t {
    PROGRESS_BACKWARD = 0,
    PROGRESS_FORWARD = 1,
    PROGRESS_COMPLETE = 100,  // the final word after a success
    PROGRESS_FAILED = 120,    // the final word after a failure
};

// Owned by whoever displays progress (the progress page, or scratch values
// of a silent run).
struct ProgressValues {
    std::atomic<int32_t> target{0};
    std::atomic<int32_t> displayed{0};
    std::atomic<int32_t> direction{PROGRESS_FORWARD};
    std::atomic<int32_t> finished{0};  // 1 once the worker has said its final word
};

// What the worker writes through. In a silent run target and displayed may
// be one and the same integer.
struct ProgressLinks {
    std::atomic<int32_t>* target = nullptr;
    std::atomic<int32_t>* displayed = nullptr;
    std::atomic<int32_t>* direction = nullptr;
    std::atomic<int32_t>* finished = nullptr;

    static ProgressLinks To(ProgressValues& values)
    {
        return ProgressLinks{&values.target, &values.displayed, &values.direction, &values.finished};
    }
    bool Linked() const { return target && displayed && direction && finished; }
};

// Worker side.
void SetProgressTarget(const ProgressLinks& links, int32_t position);
// Forward: the displayed position becomes `value`. Backward: only while the
// bar is below its target.
void JumpProgress(const ProgressLinks& links, int32_t value);
void SetProgressDirection(const ProgressLinks& links, int32_t direction);
void SetDisplayedPosition(const ProgressLinks& links, int32_t value);
// The worker's final word: the displayed position, then the end.
void FinishProgress(const ProgressLinks& links, int32_t value);

// Display side, once per timer tick: one unit towards the target in the
// current direction.
struct ProgressStep {
    bool finished;     // the display ends: the worker has said its final word
    int32_t position;  // what to draw when not finished
};
ProgressStep StepProgress(const ProgressLinks& links);
