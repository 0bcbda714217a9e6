#include "scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "posix_io.h"

ScratchDir::ScratchDir()
{
    root = (std::filesystem::temp_directory_path() / "tavrix-test-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        throw std::runtime_error(errno_text("mkdtemp"));
    }
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::string ScratchDir::file(const std::string &name) const
{
    return root + "/" + name;
}

std::string ScratchDir::write(const std::string &name, const std::string &text) const
{
    return write_file(file(name), text);
}

std::string write_file(const std::string &path, const std::string &text)
{
    // Written aside and renamed, so that a reader never sees half a file.
    std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + partial);
        }
    }
    std::filesystem::rename(partial, path);
    return path;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
