/*
 * Visibility of the host interface.
 *
 * Plug-ins build with hidden visibility; the host's classes must stay
 * visible in every translation unit that includes these headers, or the
 * type information of agException (and the vtables of the base classes)
 * would be duplicated per library and exceptions could not be caught
 * across the plug-in boundary.
 */
#ifndef TAVRIX_HOST_AG_API_H
#define TAVRIX_HOST_AG_API_H

#define AG_API __attribute__((visibility("default")))
#define AG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

#endif
