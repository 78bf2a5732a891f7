// The folder QarnIExplain.exe --save writes into, one file at a time. Plain
// C stdio: the tool's own output, not a call of the service's into Windows.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class SaveFolder {
public:
    virtual ~SaveFolder() = default;
    // Starts the file `name` anew, replacing one of that name; false with why.
    virtual bool Create(const std::string& name, std::string& why) = 0;
    // Appends to the file Create started; false with why.
    virtual bool Append(const void* data, size_t size, std::string& why) = 0;
    // Ends that file; false with why when it could not be written whole.
    virtual bool Finish(std::string& why) = 0;
    // Removes a file of an earlier save; one that is not there is no failure.
    virtual bool Remove(const std::string& name, std::string& why) = 0;
};

// A folder of the file system, in the ANSI code page on Windows: a local
// folder or a share's (\\server\share\NAME). The last folder of the path is
// created when it is missing; the ones above it must exist.
class FileFolder : public SaveFolder {
public:
    // Null, with why, when the folder is neither there nor can be made.
    static std::unique_ptr<FileFolder> Open(const std::string& path, std::string& why);
    ~FileFolder() override;

    bool Create(const std::string& name, std::string& why) override;
    bool Append(const void* data, size_t size, std::string& why) override;
    bool Finish(std::string& why) override;
    bool Remove(const std::string& name, std::string& why) override;

private:
    explicit FileFolder(std::string path) : path_(std::move(path)) {}
    std::string PathOf(const std::string& name) const;

    std::string path_;
    std::FILE* file_ = nullptr;
    std::string name_;
};
