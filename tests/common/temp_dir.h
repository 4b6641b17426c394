// A temporary folder of a test's own, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testutil {

class TempDir {
  public:
    explicit TempDir(const char *prefix = "inkport-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace testutil
