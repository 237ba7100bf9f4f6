// Reads a dialog template resource (DLGTEMPLATE or DLGTEMPLATEEX) of the
// running program into plain values, for checking what windres made of the
// resource scripts.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct TemplateItem {
    int id = 0;  // -1 for the id-less ones (65535)
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string className;  // "Button", "Static", ... for the predefined atoms
    std::string text;       // "#135" for an ordinal (a bitmap's id)
};

struct DialogTemplate {
    bool extended = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    int cx = 0, cy = 0;
    std::string caption;
    int pointSize = 0;
    std::string font;
    std::vector<TemplateItem> items;

    // The first item with this id, or none.
    const TemplateItem* Item(int id) const;
    // The first item with this text, or none.
    const TemplateItem* ItemWithText(const std::string& text) const;
};

// False when the program has no such template.
bool ReadDialogTemplate(UINT id, DialogTemplate* out);
