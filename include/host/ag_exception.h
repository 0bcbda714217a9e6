/*
 * agException: the one error type that crosses the host boundary.
 */
#ifndef TAVRIX_HOST_AG_EXCEPTION_H
#define TAVRIX_HOST_AG_EXCEPTION_H

#include <exception>
#include <string>

#include "ag_api.h"

class AG_API agException : public std::exception
{
public:
    /* Formats its message printf-style. */
    explicit agException(const char *format, ...) AG_PRINTF(2, 3);

    const char *what() const noexcept override;

private:
    std::string message;
};

#endif
