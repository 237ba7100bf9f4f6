#include "process/ProgressSink.h"

#include "framework/Text.h"

#include <string>

namespace {

bool IsStage(int32_t stage)
{
    switch (stage) {
    case STAGE_COPYING_FILES:
    case STAGE_KERNEL_DRIVERS:
    case STAGE_MAIN_MODULE:
    case STAGE_STARTING_DRIVERS:
    case STAGE_START_MENU:
    case STAGE_FINISHING:
    case STAGE_STOPPING_SERVICES:
    case STAGE_REMOVING_SERVICES:
    case STAGE_CLEARING_REGISTRY:
    case STAGE_DELETING_FILES:
    case STAGE_RESTORING_FILES:
    case STAGE_DELETING_DIRECTORY:
    case STAGE_REMOVING_DEVICES:
    case STAGE_REMOVING_FILES:
    case STAGE_PUTTING_BACK:
    case STAGE_UNINSTALL_DONE:
        return true;
    default:
        return false;
    }
}

}  // namespace

void ProgressSink::SetProgress(int32_t position, int32_t stage) const
{
    SetProgressTarget(links, position);
    const std::string text = IsStage(stage) ? fw::LoadText(static_cast<UINT>(stage)) : std::string();
    if (statusWindow)
        SetWindowTextA(statusWindow, text.c_str());
}

void ProgressSink::JumpProgress(int32_t value) const
{
    ::JumpProgress(links, value);
}

void ProgressSink::SetProgressDirection(int32_t direction) const
{
    ::SetProgressDirection(links, direction);
}

void ProgressSink::SetDisplayedPosition(int32_t value) const
{
    ::SetDisplayedPosition(links, value);
}

void ProgressSink::FinishProgress(int32_t value) const
{
    ::FinishProgress(links, value);
}
