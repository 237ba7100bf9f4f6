// Where the install worker reports progress: the display's three integers
// and, when there is one, the label that shows the current stage's text.
#pragma once

#include "process/ProgressProtocol.h"
#include "res/resource.h"

#include <windows.h>

#include <cstdint>

// Every progress report names a stage; its value is the number of the
// stage's text in the string table.
enum ProgressStage : int32_t {
    STAGE_COPYING_FILES = IDS_STAGE_COPYING_FILES,
    STAGE_KERNEL_DRIVERS = IDS_STAGE_KERNEL_DRIVERS,
    STAGE_MAIN_MODULE = IDS_STAGE_MAIN_MODULE,
    STAGE_STARTING_DRIVERS = IDS_STAGE_STARTING_DRIVERS,
    STAGE_START_MENU = IDS_STAGE_START_MENU,
    STAGE_FINISHING = IDS_STAGE_FINISHING,
    STAGE_STOPPING_SERVICES = IDS_STAGE_STOPPING_SERVICES,
    STAGE_REMOVING_SERVICES = IDS_STAGE_REMOVING_SERVICES,
    STAGE_CLEARING_REGISTRY = IDS_STAGE_CLEARING_REGISTRY,
    STAGE_DELETING_FILES = IDS_STAGE_DELETING_FILES,
    STAGE_RESTORING_FILES = IDS_STAGE_RESTORING_FILES,
    STAGE_DELETING_DIRECTORY = IDS_STAGE_DELETING_DIRECTORY,
    // the uninstall's
    STAGE_REMOVING_DEVICES = IDS_STAGE_REMOVING_DEVICES,
    STAGE_REMOVING_FILES = IDS_STAGE_REMOVING_FILES,
    STAGE_PUTTING_BACK = IDS_STAGE_PUTTING_BACK,
    STAGE_UNINSTALL_DONE = IDS_STAGE_UNINSTALL_DONE,
};

struct ProgressSink {
    HWND statusWindow = nullptr;  // may be none (silent run)
    ProgressLinks links;

    // targetPosition = position; the stage's text into statusWindow.
    void SetProgress(int32_t position, int32_t stage) const;
    void JumpProgress(int32_t value) const;
    void SetProgressDirection(int32_t direction) const;
    void SetDisplayedPosition(int32_t value) const;
    void FinishProgress(int32_t value) const;
};

