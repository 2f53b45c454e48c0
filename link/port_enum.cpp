#include "port_enum.h"

#include <climits>

namespace tavrol {

namespace {

// Examining more texts than this is never needed and keeps a runaway source
// from stalling the port-list refresh.
constexpr int kMaxTexts = 32767;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// atol's reading, but saturating at the int range instead of overflowing.
int ReadNumber(const char* p) {
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; IsDigit(*p); ++p) {
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

int EnumerateDeviceTexts(const std::vector<std::string>& texts, int* out, int capacity) {
    int count = 0;
    for (std::size_t i = 0; i < texts.size() && count < kMaxTexts; ++i) {
        const std::string& text = texts[i];
        ++count;
        if (out == nullptr || text.empty() || text[0] == '\0') continue;
        if (static_cast<long long>(i) >= capacity) continue;
        out[i] = text.size() <= 3 ? 0 : ReadNumber(text.c_str() + 3);
    }
    return count;
}

}  // namespace tavrol
