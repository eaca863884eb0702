#pragma once
// The module's own failures. libstdc++'s std::exception carries no text, so
// this subclass holds its UTF-8 message. It deliberately derives from
// std::exception alone (not runtime_error, out_of_range, invalid_argument),
// so that Python sees it as RuntimeError.
#include <exception>
#include <string>

namespace curvix {

class Error : public std::exception {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The general failure text, shared by the loader, the vector's signed angle
// and the point queries.
inline constexpr const char* kGeneralError = "读取ICD文件错误.";

}  // namespace curvix
