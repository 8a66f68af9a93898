#include "TempDir.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Path.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>

#include <sstream>

TempDir::TempDir() {
    m_path = Poco::TemporaryFile::tempName();
    Poco::File(m_path).createDirectories();
}

TempDir::~TempDir() {
    try {
        Poco::File(m_path).remove(true);
    } catch (...) {
        // A test that made the tree unremovable must not abort the run.
    }
}

std::string TempDir::operator/(const std::string& relative) const {
    return m_path + "/" + relative;
}

void TempDir::writeFile(const std::string& relative, const std::string& content) const {
    writeFileAt(*this / relative, content);
}

void TempDir::writeFileAt(const std::string& path, const std::string& content) {
    Poco::Path file(path);
    Poco::File(file.parent()).createDirectories();
    Poco::FileOutputStream out(file.toString(), std::ios::out | std::ios::trunc | std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
}

std::string TempDir::readFile(const std::string& relative) const {
    Poco::FileInputStream in(*this / relative, std::ios::in | std::ios::binary);
    std::ostringstream content;
    Poco::StreamCopier::copyStream(in, content);
    return content.str();
}

bool TempDir::exists(const std::string& relative) const {
    return Poco::File(*this / relative).exists();
}
