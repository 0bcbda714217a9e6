#include "format.h"

#include <cstdio>

std::string ag_vformat(const char *format, va_list args)
{
    // Most lines fit the stack buffer, so the common case formats once.
    char buffer[512];
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<size_t>(length));
    } else {
        // Room for the terminating NUL inside the string, then cut it off.
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}
