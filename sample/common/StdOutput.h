// Text for whoever started a GUI program with standard handles (a script, a
// test); without such a handle the text goes nowhere.
#pragma once

#include <string>

void WriteStdOutput(const std::string& text);
