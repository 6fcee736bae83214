// Files the tool writes: never over something by surprise, never half
// written.  Each file is written to a temporary name of its own beside the
// target and renamed into place once complete.
#pragma once

#include <cstdio>
#include <string>

namespace zeva::tool {

// Empty when the directory of `path` is there and may be written; else why not.
std::string DirectoryProblem(const std::string& path);

// Empty when a file may be written at `path`; otherwise why not: the
// directory does not exist (or is not one), `path` is not a regular file
// (a device node or a FIFO is never replaced), or it is a file and
// `replace` is false.
std::string OutputPathProblem(const std::string& path, bool replace);

// Whether OutputPathProblem's answer is only that the file exists.
bool ExistsProblem(const std::string& problem);

// A temporary file beside its target, created exclusively (PATH.XXXXXX.part:
// a name nobody else's file can have), removed unless published.
class PendingFile {
  public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates the temporary file for `target`; empty or the reason it failed.
    std::string Create(const std::string& target);
    std::FILE* file() const { return file_; }
    const std::string& path() const { return path_; }
    // Flushes and closes the data and gives the file the name `target`:
    // over a regular file there only with `replace`, else never over
    // anything (*exists is set when something took the name meanwhile).
    // Empty or the reason it failed.
    std::string Publish(const std::string& target, bool replace, bool* exists = nullptr);

  private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace zeva::tool
