#include "process/ProgressProtocol.h"

void SetProgressTarget(const ProgressLinks& links, int32_t position)
{
    if (links.target)
        links.target->store(position);
}

void JumpProgress(const ProgressLinks& links, int32_t value)
{
    if (!links.Linked())
        return;
    if (links.direction->load() == PROGRESS_FORWARD || links.displayed->load() < links.target->load())
        links.displayed->store(value);
}

void SetProgressDirection(const ProgressLinks& links, int32_t direction)
{
    if (links.direction)
        links.direction->store(direction);
}

void SetDisplayedPosition(const ProgressLinks& links, int32_t value)
{
    if (links.displayed)
        links.displayed->store(value);
}

void FinishProgress(const ProgressLinks& links, int32_t value)
{
    // The flag first: a timer step that saw the flag still clear and had the
    // final position in hand could otherwise move it on.
    if (links.finished)
        links.finished->store(1);
    SetDisplayedPosition(links, value);
}

ProgressStep StepProgress(const ProgressLinks& links)
{
    if (!links.Linked())
        return ProgressStep{false, 0};
    int32_t current = links.displayed->load();
    if (links.finished->load() != 0)
        return ProgressStep{true, current};
    const int32_t target = links.target->load();
    const int32_t direction = links.direction->load();

    int32_t next = current;
    if (direction == PROGRESS_FORWARD && current < target)
        next = current + 1;
    else if (direction == PROGRESS_BACKWARD && current > target)
        next = current - 1;

    if (next != current && !links.displayed->compare_exchange_strong(current, next)) {
        // The worker wrote in between: its value stands, this tick moves nothing.
        next = current;
    }
    return ProgressStep{false, next};
}
