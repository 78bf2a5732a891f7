#include "explain/SaveFolder.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#endif

namespace {

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool MakeFolder(const std::string& path) {
#ifdef _WIN32
    return _mkdir(path.c_str()) == 0;
#else
    return mkdir(path.c_str(), 0777) == 0;
#endif
}

// Whether an existing path is a file, not a folder: on Windows a folder cannot
// be opened by the C library, elsewhere stat tells.
bool IsFile(const std::string& path) {
#ifdef _WIN32
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) std::fclose(file);
    return file != nullptr;
#else
    struct stat status;
    return stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
#endif
}

}  // namespace

std::unique_ptr<FileFolder> FileFolder::Open(const std::string& path, std::string& why) {
    if (path.empty()) {
        why = "no folder named";
        return nullptr;
    }
    // Made, or there already as a folder.
    if (!MakeFolder(path) && errno != EEXIST) {
        why = Reason("the folder cannot be made");
        return nullptr;
    }
    if (IsFile(path)) {
        why = "a file of that name is there, not a folder";
        return nullptr;
    }
    return std::unique_ptr<FileFolder>(new FileFolder(path));
}

FileFolder::~FileFolder() {
    if (file_ != nullptr) std::fclose(file_);
}

std::string FileFolder::PathOf(const std::string& name) const {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    const char last = path_.back();
    return last == '\\' || last == '/' ? path_ + name : path_ + separator + name;
}

bool FileFolder::Create(const std::string& name, std::string& why) {
    if (file_ != nullptr) std::fclose(file_);
    name_ = name;
    file_ = std::fopen(PathOf(name).c_str(), "wb");
    if (file_ == nullptr) why = Reason((name + " cannot be created").c_str());
    return file_ != nullptr;
}

bool FileFolder::Append(const void* data, size_t size, std::string& why) {
    if (file_ != nullptr && std::fwrite(data, 1, size, file_) == size) return true;
    why = Reason((name_ + " cannot be written").c_str());
    return false;
}

bool FileFolder::Finish(std::string& why) {
    const bool written = file_ != nullptr && std::ferror(file_) == 0;
    const bool closed = file_ != nullptr && std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) why = Reason((name_ + " was not written whole").c_str());
    return written && closed;
}

bool FileFolder::Remove(const std::string& name, std::string& why) {
    if (std::remove(PathOf(name).c_str()) == 0 || errno == ENOENT) return true;
    why = Reason((name + " of an earlier save cannot be removed").c_str());
    return false;
}
