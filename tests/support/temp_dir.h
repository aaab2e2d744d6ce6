// A folder of a test's own, and whole files written and read back: what the tests put on disk for
// the code under test, and what they read of its results.
#ifndef KORVEL_TESTS_SUPPORT_TEMP_DIR_H
#define KORVEL_TESTS_SUPPORT_TEMP_DIR_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::testkit {

using Bytes = std::vector<uint8_t>;

// A folder made for one test in the temporary directory ($TMPDIR, else /tmp), removed with all it
// holds when the TempDir goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Its path; empty when it could not be made, which fails the test.
    const std::string& path() const { return path_; }
    // The path of `name` in it; a name may go through folders ("kit/LIB/a.sre").
    std::string File(std::string_view name) const;
    // Writes `bytes` as the file `name`, its folders made first; the file's path.
    std::string Write(std::string_view name, std::string_view bytes) const;
    std::string Write(std::string_view name, std::span<const uint8_t> bytes) const;
    // Makes `name` a symbolic link to `target`; the link's path.
    std::string Link(std::string_view name, const std::string& target) const;

  private:
    std::string path_;
};

// Writes `bytes` as the file `path`, its folders made first; `path`.
std::string WriteFile(const std::string& path, std::string_view bytes);
std::string WriteFile(const std::string& path, std::span<const uint8_t> bytes);

// The whole file at `path`, as text or as bytes; empty when it cannot be read.
std::string ReadText(const std::string& path);
Bytes ReadBytes(const std::string& path);

// The lines of `text`, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace korvel::testkit

#endif
