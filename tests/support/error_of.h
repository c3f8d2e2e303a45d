#pragma once
// What a call gives, as text for table rows: the message of the exception it
// throws, else "<no error>" (error_of) or its value (text_of).
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

template <class F>
std::string text_of(F f) {
    try {
        return f();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace vkn
