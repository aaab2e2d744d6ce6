// Shared pieces of the tests that run programs and read what they wrote: a scratch directory, and
// a file's text and lines.
#ifndef KORVEL_TEST_FILES_H
#define KORVEL_TEST_FILES_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace testfiles {

// A scratch directory removed with everything in it.
struct TempDir {
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// The text of a file (empty when it cannot be read).
inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of `text`, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace testfiles

#endif
