#include "input_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "options.h"

InputFile::InputFile(const std::string &path) : descriptor(STDIN_FILENO), owned(false)
{
    // "-" is standard input, as for most tools that take a file.
    if (path.empty() || path == "-") {
        return;
    }
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw UsageError("cannot open input " + path + ": " + std::strerror(errno));
    }
    owned = true;
}

InputFile::~InputFile()
{
    if (owned) {
        close(descriptor);
    }
}
