// A directory of the test's own, made empty and removed with everything in
// it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
public:
    // PARENT/PREFIXxxxxxx; Path() is empty when it cannot be made.
    explicit TempDir(const std::string& prefix = "tessaline-",
                     const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / (prefix + "XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};
