#include "profile_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "profile.h"

namespace tavrol::cli {

namespace {

std::string Directory(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

}  // namespace

bool CanWriteFile(const std::string& path, std::string* error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = path + ": is a directory";
        return false;
    }
    if (std::filesystem::exists(path, ec) ? ::access(path.c_str(), W_OK) != 0
                                         : ::access(Directory(path).c_str(), W_OK) != 0) {
        *error = path + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteProfileFile(const std::string& path, const AdapterSettings& settings, std::string* error) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << ProfileText(settings);
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            *error = path + ": cannot be written";
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": cannot be written: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tavrol::cli
