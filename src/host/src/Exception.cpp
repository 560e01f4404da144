#include "kelo/Exception.h"

#include <climits>
#include <sstream>

namespace KELO {

namespace {
// Position and number of the lowest placeholder "%n" (n = 1..99), or npos.
std::pair<std::size_t, int> LowestPlaceholder(const std::string& s) {
    int best = INT_MAX;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] != '%' || s[i + 1] < '1' || s[i + 1] > '9') continue;
        int n = s[i + 1] - '0';
        if (i + 2 < s.size() && s[i + 2] >= '0' && s[i + 2] <= '9') n = n * 10 + (s[i + 2] - '0');
        if (n < best) best = n;
    }
    return {best == INT_MAX ? std::string::npos : 0, best};
}
}  // namespace

CString CString::Arg(const std::string& value) const {
    auto [found, n] = LowestPlaceholder(*this);
    if (found == std::string::npos) return *this;
    std::string tag(1, '%');
    tag += std::to_string(n);
    std::string out;
    out.reserve(size() + value.size());
    std::size_t i = 0;
    while (i < size()) {
        // Match the whole tag only: "%1" must not match the start of "%12".
        if (compare(i, tag.size(), tag) == 0 &&
            !(i + tag.size() < size() && (*this)[i + tag.size()] >= '0' && (*this)[i + tag.size()] <= '9')) {
            out += value;
            i += tag.size();
        } else {
            out += (*this)[i++];
        }
    }
    return CString(std::move(out));
}

CString CString::Arg(long long value) const { return Arg(std::to_string(value)); }

CString CString::Arg(double value) const {
    std::ostringstream os;
    os << value;
    return Arg(os.str());
}

CException::CException(const char* location, const char* message, const void*)
    : CException(std::string(location ? location : ""), std::string(message ? message : ""), nullptr) {}

CException::CException(const std::string& location, const std::string& message, const void*)
    : m_location(location), m_message(message), m_what(location + ": " + message) {}

CException::CException(const Impl::StExLocation& where, const std::string& message)
    : m_message(message), m_source(where), m_hasSource(true) {
    m_location = std::string(where.file) + "(" + std::to_string(where.line) + ") " + where.function;
    m_what = m_location + ": " + m_message;
}

CException::~CException() = default;

}  // namespace KELO
