// Host exceptions and the small text helpers that build their messages.
#pragma once

#include <concepts>
#include <cstdint>
#include <exception>
#include <string>

namespace KELO {

// A string with numbered placeholders "%1", "%2", ... that Arg fills in turn.
class CString : public std::string {
public:
    CString() = default;
    CString(const char* text) : std::string(text ? text : "") {}
    CString(std::string text) : std::string(std::move(text)) {}

    // Replaces every occurrence of the lowest-numbered placeholder still present.
    // Without any placeholder the string is returned unchanged.
    CString Arg(const std::string& value) const;
    CString Arg(long long value) const;
    CString Arg(double value) const;
    // Any other integer (int, unsigned, size_t, ...) in decimal.
    template <std::integral T>
    CString Arg(T value) const {
        return Arg(std::to_string(value));
    }
};

namespace Impl {
// Where an exception was raised: build stamp, source file, function, line, object.
struct StExLocation {
    const char* buildStamp = "";
    const char* file = "";
    const char* function = "";
    int line = 0;
    const void* object = nullptr;
};
}  // namespace Impl

// The exception every failure of a node surfaces as.
class CException : public std::exception {
public:
    // Plain form: a location text such as "(feature plugins) Geometry::Run".
    CException(const char* location, const char* message, const void* reserved);
    CException(const std::string& location, const std::string& message, const void* reserved);
    // Source-location form.
    CException(const Impl::StExLocation& where, const std::string& message);
    ~CException() override;

    const std::string& Location() const { return m_location; }
    const std::string& Message() const { return m_message; }
    // Non-null only for the source-location form.
    const Impl::StExLocation* SourceLocation() const { return m_hasSource ? &m_source : nullptr; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::string m_location;
    std::string m_message;
    std::string m_what;
    Impl::StExLocation m_source;
    bool m_hasSource = false;
};

}  // namespace KELO
