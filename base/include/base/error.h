// A failure as the user reads it, and a value or that failure. Every operation that can fail
// answers an Expected<T>: the value, or an Error with the exit code the command ends with, a
// message that names the file (or the port, the address) and a hint that says what to do next.
// Nothing prints an Error but the command or the dialog that gave up: FormatError makes its text.
#ifndef KORVEL_BASE_ERROR_H
#define KORVEL_BASE_ERROR_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvel::base {

// The exit code of a failure unless its caller gives another: an input refused or unreadable, or
// no output written.
inline constexpr int kFailureCode = 1;

// What went wrong, for callers that act on the kind of failure (a missing settings file starts
// new settings; a file held by another program is retried) rather than on its words.
enum class Cause : uint8_t {
    Other,           // anything not below
    NotFound,        // no such file or folder
    Denied,          // no permission
    IsDirectory,     // a folder where a file was wanted
    NotRegularFile,  // a FIFO, a device or a socket where a regular file was wanted
    TooLarge,        // longer than the limit given
    Exists,          // the name is taken
    NoSpace,         // the disk (or the user's quota) is full
    Busy,            // held by another program: a lock, a FIFO that nobody reads
    WouldBlock,      // nothing to read yet on something read without waiting
    BadInput,        // text or data that does not have the form asked for
    OutOfMemory,     // no memory for the whole
};

struct Error {
    int code = kFailureCode;  // the exit code of the command that gives up on it
    std::string message;      // what failed, naming the file: "cannot open a.sre: no such file"
    std::string hint;         // what to do next; may be empty
    Cause cause = Cause::Other;
    std::string detail;  // the system's own words for the failure, when it gave some
                         // ("Input/output error"), for callers that quote them in texts of
                         // their own

    Error() = default;
    Error(int code, std::string message, std::string hint = {}, Cause cause = Cause::Other)
        : code(code), message(std::move(message)), hint(std::move(hint)), cause(cause) {}

    // The same failure ending the command with `exitCode`.
    Error&& WithCode(int exitCode) && {
        code = exitCode;
        return std::move(*this);
    }
    // The same failure with another hint (a caller knows better what to give instead).
    Error&& WithHint(std::string text) && {
        hint = std::move(text);
        return std::move(*this);
    }
};

// A failure of code kFailureCode.
inline Error Fail(std::string message, std::string hint = {}, Cause cause = Cause::Other) {
    return Error(kFailureCode, std::move(message), std::move(hint), cause);
}

// The text shown at the boundary: `prefix` and the message on one line, then the hint on a line
// of its own; no line end after it. FormatError(e, "cordane seal: ").
std::string FormatError(const Error& error, std::string_view prefix = {});

namespace detail {
// Ends the program: a value was taken from an Expected that holds an error (a defect).
[[noreturn]] void UncheckedError(const Error& error);
}  // namespace detail

// A value of type T, or the Error that kept it from being made. Converts from either.
template <typename T>
class [[nodiscard]] Expected {
    static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "an Error is not a value");
    static_assert(!std::is_reference_v<T>, "Expected holds values");

  public:
    Expected(const T& value) : state_(std::in_place_index<0>, value) {}
    Expected(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
    // A value of another type that converts to T (a string literal for a std::string).
    template <typename U, typename = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                                      !std::is_same_v<std::decay_t<U>, T> &&
                                                      !std::is_same_v<std::decay_t<U>, Error> &&
                                                      !std::is_same_v<std::decay_t<U>, Expected>>>
    Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        Check();
        return std::get<0>(state_);
    }
    const T& value() const& {
        Check();
        return std::get<0>(state_);
    }
    T&& value() && {
        Check();
        return std::move(std::get<0>(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    template <typename U>
    T value_or(U&& fallback) const& {
        return has_value() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
    }

    // The error; only when there is no value.
    const Error& error() const& { return std::get<1>(state_); }
    Error& error() & { return std::get<1>(state_); }
    Error&& error() && { return std::move(std::get<1>(state_)); }

  private:
    void Check() const {
        if (!has_value()) detail::UncheckedError(std::get<1>(state_));
    }

    std::variant<T, Error> state_;
};

// Success without a value, or the Error. `return {};` succeeds.
template <>
class [[nodiscard]] Expected<void> {
  public:
    Expected() = default;
    Expected(Error error) : error_(std::move(error)) {}

    bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    // Ends the program when it holds an error, as value() does for a value.
    void value() const {
        if (error_) detail::UncheckedError(*error_);
    }

    const Error& error() const& { return *error_; }
    Error& error() & { return *error_; }
    Error&& error() && { return std::move(*error_); }

  private:
    std::optional<Error> error_;
};

}  // namespace korvel::base

#define KORVEL_BASE_CONCAT_INNER(a, b) a##b
#define KORVEL_BASE_CONCAT(a, b) KORVEL_BASE_CONCAT_INNER(a, b)

// Returns the error of `expression` (an Expected) from the enclosing function, which answers an
// Expected of any type; goes on when it succeeded. The value, if any, is dropped.
#define KORVEL_TRY(expression)                                                 \
    do {                                                                       \
        auto&& korvel_try_result_ = (expression);                              \
        if (!korvel_try_result_) return std::move(korvel_try_result_).error(); \
    } while (false)

// `declaration = value of expression`, or returns its error from the enclosing function:
// KORVEL_ASSIGN_OR_RETURN(const FileBytes file, ReadWholeFile(path));
#define KORVEL_ASSIGN_OR_RETURN(declaration, expression)                                    \
    KORVEL_ASSIGN_OR_RETURN_IMPL(KORVEL_BASE_CONCAT(korvel_result_, __LINE__), declaration, \
                                 expression)
#define KORVEL_ASSIGN_OR_RETURN_IMPL(result, declaration, expression) \
    auto result = (expression);                                       \
    if (!result) return std::move(result).error();                    \
    declaration = std::move(result).value()

#endif
