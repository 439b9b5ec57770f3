// The answer type of engine and writer functions: a value or the message text the binding
// raises as ValueError. Engine and writer code never throws across their public functions.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace rivezor {

struct Error {
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

inline Error fail(std::string message) { return Error{std::move(message)}; }

}  // namespace rivezor
