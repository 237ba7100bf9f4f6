// The running uninstall.exe can neither delete itself nor let the program
// folder go while it runs from there. Started as the user starts it, it
// copies itself into a new folder that only the administrators may write and
// lets the copy do the work: the copy moves the original out of the program
// folder and leaves its own folder to the restart. The original waits for the
// copy and passes its exit code on.
#pragma once

#include "app/CommandLine.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class CSelfCopy {
public:
    // Makes a new folder below `parent` named after the product with a
    // random suffix, which only SYSTEM and the administrators may write and
    // which nobody else can have prepared (it must not exist yet), and copies
    // the running program into it. Throws (module MODULE_PROCESS) when either
    // cannot be done; nothing of it is left then.
    CSelfCopy(const std::string& parent, const std::string& productName);
    // What of the copy's folder can go once the copy has ended goes: the
    // copy itself, and the folder when nothing else is in it.
    ~CSelfCopy();

    CSelfCopy(const CSelfCopy&) = delete;
    CSelfCopy& operator=(const CSelfCopy&) = delete;

    // Starts the copy with the switches it honours and the marker naming
    // `original`, in the system folder (never in the program folder, which
    // must be free to go), and waits for it. Returns its exit code; throws
    // when it cannot be started or waited for.
    int32_t Run(const SetupOptions& options, const std::string& original);

    const std::string& Folder() const { return m_folder; }
    const std::string& Program() const { return m_program; }

    // Whether `program` is such a copy: uninstall.exe in a folder right
    // below `parent` named as the constructor names them. Only a copy acts
    // on the marker: it leaves its folder to the restart.
    static bool IsCopy(const std::string& program, const std::string& parent, const std::string& productName);
    // What a copy leaves for the restart once its run is over: every file
    // in its folder (itself, and the original when the uninstall moved it
    // there), then the folder.
    static std::vector<std::string> Leftovers(const std::string& program);

private:
    std::string m_folder;
    std::string m_program;
};
