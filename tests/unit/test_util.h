// Helpers shared by the unit tests: scratch directories, whole files, byte strings.
#pragma once
#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace test_util {

// A fresh directory under the system's temporary directory, removed with its content at the end.
struct scratch_dir {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("velm-test-" + std::to_string(std::random_device{}()));
    scratch_dir() { std::filesystem::create_directories(path); }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline void write_file(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string random_bytes(size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>(rng());
    return out;
}

// The bytes written as hex pairs in `text` ("9F 01 00"), with anything else between the pairs.
inline std::string hex(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; p += isxdigit(*p) ? 2 : 1)
        if (isxdigit(*p))
            out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    return out;
}

inline std::span<const uint8_t> span_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// A temporary stream holding `content`, positioned at its start.
inline FILE* stream_of(const std::string& content) {
    FILE* f = tmpfile();
    if (f == nullptr || fwrite(content.data(), 1, content.size(), f) != content.size())
        abort();
    rewind(f);
    return f;
}

// Everything from the stream's position to its end; closes the stream.
inline std::string rest(FILE* f) {
    std::string out;
    for (int c = fgetc(f); c != EOF; c = fgetc(f))
        out += static_cast<char>(c);
    fclose(f);
    return out;
}

} // namespace test_util

using namespace test_util;
using ::testing::ExitedWithCode;
