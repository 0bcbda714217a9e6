/* printf-style formatting into a string, shared by the logger and
 * agException. */
#ifndef TAVRIX_HOST_FORMAT_H
#define TAVRIX_HOST_FORMAT_H

#include <cstdarg>
#include <string>

std::string ag_vformat(const char *format, va_list args) __attribute__((format(printf, 1, 0)));

#endif
