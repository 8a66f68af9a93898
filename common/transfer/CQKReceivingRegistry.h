// The set of target paths being received, shared by all listeners of a program so that
// two connections never write one file at once. Thread-safe.
#pragma once

#include <mutex>
#include <set>
#include <string>

class CQKReceivingRegistry {
public:
    // Registers path; false when another connection has registered it already.
    bool tryInsert(const std::string& path);
    void erase(const std::string& path);
    bool contains(const std::string& path) const;
    std::size_t size() const;

private:
    mutable std::mutex m_mutex;
    std::set<std::string> m_paths;
};
