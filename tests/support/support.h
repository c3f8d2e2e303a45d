#pragma once
// Test helpers: call outcomes as text, a scoped environment, a throw-away
// HOME, and the real blocks and templates under tests/data.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "util/files.h"

namespace vkn {

// What a call gives: its value, or the message of the exception it throws.
template <class F>
std::string text_of(F f) {
    try {
        return f();
    } catch (const std::exception& e) {
        return e.what();
    }
}

template <class F>
std::string error_of(F f) {
    return text_of([&] { return f(), std::string("<no error>"); });
}

#ifdef VKN_FAKE_NVML
// The stand-in GPU management library's controls (tests/search/fake_nvml.cpp).
struct FakeNvml {
    void* lib = dlopen(VKN_FAKE_NVML, RTLD_NOW);
    template <class F>
    F* fn(const char* name) const { return reinterpret_cast<F*>(dlsym(lib, name)); }
    void (*reset)(int) = fn<void(int)>("fake_nvml_reset");
    void (*add)(const char* bus, const char* name, const char* uuid, unsigned temp, unsigned power_mw, int fan,
                unsigned long long throttle) =
        fn<void(const char*, const char*, const char*, unsigned, unsigned, int, unsigned long long)>("fake_nvml_add");
    void (*set_temp)(int index, unsigned temp) = fn<void(int, unsigned)>("fake_nvml_set_temp");
};
#endif

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh directory set as HOME for the scope.
struct TempHome {
    std::string path = make();
    ScopedEnv env{"HOME", path.c_str()};
    ~TempHome() { std::filesystem::remove_all(path); }
    static std::string make() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vkn-home-XXXXXX").string();
        return mkdtemp(tmpl.data());
    }
};

// A template with only the members every template must have; `parent`
// picks its previous block.
inline nlohmann::json minimal_template(int height = 840000, int parent = 0xff) {
    char prev[65];
    std::snprintf(prev, sizeof prev, "%064x", parent);
    return {{"version", 536870912}, {"previousblockhash", prev}, {"curtime", 1700000000},
            {"coinbasevalue", 5000000000ull}, {"height", height}, {"bits", "207fffff"}};
}

inline std::string testdata(const std::string& name) { return read_file(VKN_SOURCE_DIR "/tests/data/" + name); }

}  // namespace vkn
