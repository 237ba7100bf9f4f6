#include "app/MessageText.h"

std::string FormatProductMessage(const std::string& message, const std::string& productName)
{
    std::string text;
    text.reserve(message.size() + productName.size());
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '%' && i + 1 < message.size()) {
            if (message[i + 1] == 's') {
                text += productName;
                ++i;
                continue;
            }
            if (message[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
        }
        text += c;
    }
    return text;
}
