// Test helpers around the configurable test module (tests/modules/test_module.cpp,
// whose opening comment lists the configuration keys and the call-log format):
// temporary directories, installing a module copy with its configuration, and
// reading its call log.
//
// Thread safety: the helpers touch only the files they are given; reading a
// log while the module appends to it sees whole lines only.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testmodule {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvtest-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        path_ = mkdtemp(buffer.data()) ? buffer.data() : "";
    }
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    static void RemoveTree(const std::string& path)
    {
        struct stat st;
        if (path.empty() || lstat(path.c_str(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode)) {
            if (DIR* dir = opendir(path.c_str())) {
                while (dirent* entry = readdir(dir)) {
                    std::string name = entry->d_name;
                    if (name != "." && name != "..")
                        RemoveTree(path + "/" + name);
                }
                closedir(dir);
            }
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
    }

private:
    std::string path_;
};

inline bool WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return bool(out);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The built variant `variant` ("orv_test_module", "orv_test_module_bare", ...).
inline std::string VariantPath(const std::string& variant)
{
    return std::string(ORV_TEST_MODULE_DIR) + "/" + variant + ".so";
}

// Copies a module variant to `path` and writes its configuration beside it
// ("<path>.conf"); removes an old call log. True on success.
inline bool InstallModule(const std::string& path, const std::string& config,
                          const std::string& variant = "orv_test_module")
{
    unlink((path + ".log").c_str());
    return WriteFile(path, ReadFile(VariantPath(variant))) && WriteFile(path + ".conf", config);
}

// One line of a module's call log: the entry name and its key=value fields.
struct LogLine {
    std::string entry;
    std::map<std::string, std::string> fields;

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    std::string str(const std::string& key) const
    {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
    // The field as a number (decimal, negative decimal or 0x-hex); 0 if absent.
    int64_t num(const std::string& key) const
    {
        return static_cast<int64_t>(std::strtoull(str(key).c_str(), nullptr, 0));
    }
    uint64_t u64(const std::string& key) const { return std::strtoull(str(key).c_str(), nullptr, 0); }
    void* ptr(const std::string& key) const { return reinterpret_cast<void*>(u64(key)); }
};

inline LogLine ParseLogLine(const std::string& text)
{
    LogLine line;
    std::istringstream in(text);
    in >> line.entry;
    std::string token;
    while (in >> token) {
        size_t eq = token.find('=');
        if (eq != std::string::npos)
            line.fields[token.substr(0, eq)] = token.substr(eq + 1);
    }
    return line;
}

// The call log of the module installed at `modulePath`; whole lines only.
inline std::vector<LogLine> ReadLog(const std::string& modulePath)
{
    std::vector<LogLine> lines;
    std::string content = ReadFile(modulePath + ".log");
    size_t start = 0;
    for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(ParseLogLine(content.substr(start, end - start)));
    return lines;
}

// The lines of `entry` (and, when given, with `key` equal to `value`).
inline std::vector<LogLine> Entries(const std::vector<LogLine>& log, const std::string& entry,
                                    const std::string& key = "", const std::string& value = "")
{
    std::vector<LogLine> out;
    for (const LogLine& line : log)
        if (line.entry == entry && (key.empty() || line.str(key) == value))
            out.push_back(line);
    return out;
}

inline std::vector<LogLine> Entries(const std::string& modulePath, const std::string& entry,
                                    const std::string& key = "", const std::string& value = "")
{
    return Entries(ReadLog(modulePath), entry, key, value);
}

// Polls `done` every 5 ms for up to `timeoutMs`; true once it held.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits until the module at `modulePath` has logged at least `count` lines of
// `entry` (optionally with key=value); true when it has.
inline bool WaitForEntries(const std::string& modulePath, const std::string& entry, size_t count = 1,
                           const std::string& key = "", const std::string& value = "", int timeoutMs = 5000)
{
    return WaitFor([&] { return Entries(modulePath, entry, key, value).size() >= count; }, timeoutMs);
}

// Bytes as the call log writes them: lower-case hex, two digits each.
inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace testmodule
