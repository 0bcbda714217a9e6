#include "host/ag_exception.h"

#include <cstdarg>

#include "format.h"

agException::agException(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    message = ag_vformat(format, args);
    va_end(args);
}

const char *agException::what() const noexcept
{
    return message.c_str();
}
