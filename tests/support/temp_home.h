#pragma once
// Test helpers: a scoped environment variable and a throw-away HOME.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace vkn {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_.c_str(), old_->c_str(), 1);
        else unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh directory set as HOME for the scope.
class TempHome {
public:
    TempHome() : dir_(make()), env_("HOME", dir_.c_str()) {}
    ~TempHome() { std::filesystem::remove_all(dir_); }
    const std::string& path() const { return dir_; }

private:
    static std::string make() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vkn-home-XXXXXX").string();
        return mkdtemp(tmpl.data());
    }
    std::string dir_;
    ScopedEnv env_;
};

}  // namespace vkn
