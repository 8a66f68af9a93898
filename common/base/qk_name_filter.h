// Exclude patterns: shell glob patterns (fnmatch(3)) matched against a file's own name, so
// that the senders leave alone what producers write under a temporary name ("x.tmp", ".x")
// before they rename it.
//
// A value holds several patterns separated by whitespace and/or commas; several values add
// up. Values come from configuration files and command lines, so each is checked whole
// before any of its patterns is taken: at most QK_EXCLUDE_MAX_PATTERNS patterns in all, each
// at most QK_EXCLUDE_MAX_PATTERN_BYTES bytes, without control characters and without '/'
// (a name never holds one). A leading dot of a name is matched by '*' and '?' like any other
// character. Nothing throws but std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t QK_EXCLUDE_MAX_PATTERNS = 64;

// The words of a list whose items are separated by whitespace and/or commas (exclude
// patterns, source networks); none for an empty or blank value.
std::vector<std::string> qk_split_list(const std::string& value);
constexpr std::size_t QK_EXCLUDE_MAX_PATTERN_BYTES = 255;

class CQKNameFilter {
public:
    // Takes the patterns of value (none from an empty or blank one). Returns "" when it
    // was taken, else why it was refused; a refused value adds nothing.
    std::string add(const std::string& value);
    // True when the last component of path (a bare name is its own last component)
    // matches one of the patterns.
    bool excludes(const std::string& path) const;

    bool empty() const { return m_patterns.empty(); }
    // The patterns separated by single spaces, for the logs.
    std::string text() const;
    const std::vector<std::string>& patterns() const { return m_patterns; }

private:
    std::vector<std::string> m_patterns;
};
