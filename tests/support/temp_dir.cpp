#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>

namespace korvel::testkit {
namespace {

#ifdef _WIN32
// The system's temporary directory (%TMP%, %TEMP%), and a folder of a new name in it.
std::string MakeFolder() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; !error && attempt < 100; ++attempt) {
        const std::filesystem::path folder = base / ("korvel-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(folder, error)) return folder.string();
    }
    ADD_FAILURE() << "cannot make a temporary folder in " << base << ": " << error.message();
    return "";
}
#else
// $TMPDIR when it names a folder by its absolute path, else /tmp.
std::string TemporaryDirectory() {
    const char* named = std::getenv("TMPDIR");
    return named != nullptr && named[0] == '/' ? named : "/tmp";
}

std::string MakeFolder() {
    std::string pattern = TemporaryDirectory() + "/korvel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary folder " << pattern << ": "
                      << std::strerror(errno);
        return "";
    }
    return pattern;
}
#endif

}  // namespace

TempDir::TempDir() : path_(MakeFolder()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

std::string TempDir::Write(std::string_view name, std::string_view bytes) const {
    return WriteFile(File(name), bytes);
}

std::string TempDir::Write(std::string_view name, std::span<const uint8_t> bytes) const {
    return WriteFile(File(name), bytes);
}

std::string TempDir::Link(std::string_view name, const std::string& target) const {
    const std::string path = File(name);
    std::filesystem::create_symlink(target, path);
    return path;
}

std::string WriteFile(const std::string& path, std::string_view bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
    return WriteFile(path,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Read with the standard library, not the base library's reader: the tests of that reader and of
// the whole-file replacement check their results through this one.
Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace korvel::testkit
