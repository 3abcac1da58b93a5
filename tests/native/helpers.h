// What the native tests share: a temporary folder that goes when the test
// ends, however it ends, and zpack run as a vendor runs it.
#pragma once
#include <sys/wait.h>

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

    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }

    // Writes text to a file in the folder, making its folders; returns its path.
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

// A file's bytes; empty when there is no such file.
inline std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a vendor sees: zpack's exit code and output.
struct ZpackRun {
    int code;
    std::string out, err;
    // The exit code and standard error, as one line of a terminal shows them.
    std::string Shown() const { return std::to_string(code) + " " + err; }
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
    ZpackRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}
