// Messages that reach the user after passing through other hands: the
// refusal text of the installed-version check carries a version text sent by
// a running program, so it is never used as a printf format. Portable, tested
// natively.
#pragma once

#include <string>

// `message` with every "%s" replaced by the product name and every "%%" by
// one '%'; anything else, other directives included, is copied as it is.
std::string FormatProductMessage(const std::string& message, const std::string& productName);
