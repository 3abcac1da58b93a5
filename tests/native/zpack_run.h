// A private temporary folder, and zpack run on a command line with what it
// prints and its exit code, for the tests of what a vendor sees.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

constexpr char kTempTemplate[] = "/tmp/zpack_test.XXXXXX";

class TempFolder {
   public:
    TempFolder() {
        char path[sizeof kTempTemplate];
        std::snprintf(path, sizeof path, "%s", kTempTemplate);
        if (mkdtemp(path) != nullptr) path_ = path;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

    std::string Write(const std::string& relative, const std::string& text) const {
        std::filesystem::path file = std::filesystem::path(path_) / relative;
        std::filesystem::create_directories(file.parent_path());
        std::FILE* out = std::fopen(file.c_str(), "wb");
        EXPECT_NE(out, nullptr) << file;
        if (out != nullptr) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
        return file.string();
    }

   private:
    std::string path_;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a vendor sees: zpack's own lines and exit code.
struct ZpackRun {
    int code;
    std::string out, err;
};

// Runs zpack (ZPACK_PATH unless program is given) with its output in files
// beside folder's, not in it, so that a listing of folder shows only what
// zpack wrote.
inline ZpackRun RunZpack(const TempFolder& folder, const std::string& arguments,
                         const std::string& program = ZPACK_PATH) {
    const std::string out = folder.path() + ".stdout", err = folder.path() + ".stderr";
    std::string command = program + " " + arguments + " >" + out + " 2>" + err;
    int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    ZpackRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(out), ReadWhole(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}
