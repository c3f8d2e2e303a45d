#pragma once
// The message of the exception a call throws, or "<no error>".
#include <exception>
#include <string>

namespace vkn {

template <class F>
std::string error_of(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace vkn
