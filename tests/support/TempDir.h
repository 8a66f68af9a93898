// A temporary directory tree for one test, removed with everything in it at the end.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory's path, without a trailing separator.
    const std::string& path() const { return m_path; }
    // path() + "/" + relative.
    std::string operator/(const std::string& relative) const;

    // Writes content to path() + "/" + relative, creating missing parents.
    void writeFile(const std::string& relative, const std::string& content) const;
    // The content of a file below path(); throws when it cannot be read.
    std::string readFile(const std::string& relative) const;
    bool exists(const std::string& relative) const;

    // Writes content to an absolute path, creating missing parents.
    static void writeFileAt(const std::string& path, const std::string& content);

private:
    std::string m_path;
};
