// Parsing and matching of exclude patterns.
#include "base/qk_name_filter.h"

#include <fnmatch.h>

namespace {

bool is_separator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// "" for a pattern that may be used, else why not. Separators have been split off, so a
// control character left is one that no name should be matched against.
std::string refusal_of(const std::string& pattern, std::size_t number) {
    const std::string which = "pattern " + std::to_string(number);
    if (pattern.size() > QK_EXCLUDE_MAX_PATTERN_BYTES)
        return which + " is longer than " + std::to_string(QK_EXCLUDE_MAX_PATTERN_BYTES) + " bytes";
    for (const char c : pattern) {
        if (is_control(c))
            return which + " holds a control character";
    }
    if (pattern.find('/') != std::string::npos)
        return which + " (" + pattern + ") holds '/', which no file name holds";
    const int probe = fnmatch(pattern.c_str(), "", 0);
    if (probe != 0 && probe != FNM_NOMATCH)
        return which + " (" + pattern + ") is not a valid pattern";
    return "";
}

}  // namespace

std::vector<std::string> qk_split_list(const std::string& value) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : value) {
        if (!is_separator(c)) {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

std::string CQKNameFilter::add(const std::string& value) {
    // A NUL would cut the value short wherever it is handed on as a C string.
    if (value.find('\0') != std::string::npos)
        return "the value holds a NUL character";
    const std::vector<std::string> words = qk_split_list(value);
    if (m_patterns.size() + words.size() > QK_EXCLUDE_MAX_PATTERNS)
        return "more than " + std::to_string(QK_EXCLUDE_MAX_PATTERNS) + " patterns";
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string refusal = refusal_of(words[i], m_patterns.size() + i + 1);
        if (!refusal.empty())
            return refusal;
    }
    m_patterns.insert(m_patterns.end(), words.begin(), words.end());
    return "";
}

bool CQKNameFilter::excludes(const std::string& path) const {
    if (m_patterns.empty())
        return false;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (const std::string& pattern : m_patterns) {
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return true;
    }
    return false;
}

std::string CQKNameFilter::text() const {
    std::string joined;
    for (const std::string& pattern : m_patterns) {
        if (!joined.empty())
            joined += ' ';
        joined += pattern;
    }
    return joined;
}
