#include "Flash.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace zb::devsim {

std::vector<std::uint8_t> loadFlash(const std::string& path)
{
    std::vector<std::uint8_t> flash(kFlashSize, kErased);
    if (path.empty())
        return flash;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read flash file " + path);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > kFlashSize)
        throw std::runtime_error("flash file " + path + " is longer than 131072 bytes");
    std::copy(bytes.begin(), bytes.end(), flash.begin());
    return flash;
}

void saveFlash(const std::string& path, const std::vector<std::uint8_t>& flash)
{
    std::string temporary = path + ".part";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out)
        throw std::system_error(errno, std::generic_category(), "cannot create " + temporary);
    int error = 0;
    if (std::fwrite(flash.data(), 1, flash.size(), out) != flash.size())
        error = errno;
    if (std::fclose(out) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        std::remove(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot rename to " + path);
}

}  // namespace zb::devsim
