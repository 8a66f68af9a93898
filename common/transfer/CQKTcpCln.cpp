// The console client's plain TCP sender: the sending run and the directory walk.
#include "transfer/CQKTcpCln.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/qk_console.h"
#include "base/qk_log.h"

CQKTcpCln::CQKTcpCln() : CQKFileSender("CQKTcpCln") {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::CQKTcpCln()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpCln::CQKTcpCln()");
}

CQKTcpCln::~CQKTcpCln() {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::~CQKTcpCln()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpCln::~CQKTcpCln()");
}

void CQKTcpCln::setParams(const SQKClnParams& params) {
    m_params = params;
}

void CQKTcpCln::sendFiles() {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::sendFiles()");
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFiles Start...");
    const Poco::DateTime start;
    m_one_file = false;
    // A named file under an excluded name leaves nothing to send: no connection is made.
    // Named on purpose, yet it is excluded: said at INFO and on the console.
    if (oneFileMode() &&
        isExcluded(tag, m_params.m_exclude, m_params.m_file_path, LOG_LEVEL_INFO)) {
        qk_print_console("File: " + m_params.m_file_path +
                         " matches an exclude pattern. Not sent.");
        m_curr_result = QK_SEND_FILE_FOK;
    } else {
        sendWithAttempts(tag, [this, &tag] { sendSelected(tag); });
    }
    const Poco::DateTime end;
    qk_print_console("");
    reportSpent(tag, "Total Spent", end - start);
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFiles End...");
}

void CQKTcpCln::sendSelected(const QKLogTag& tag) {
    const char* file_path = m_params.m_file_path.c_str();
    const char* out_dir = m_params.m_out_dir.c_str();
    if (oneFileMode()) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Sending one file: m_params.m_file_path = %s",
                    file_path);
        sendFile(m_params.m_file_path);
        sendFinishSendFiles();
        log_message(LOG_LEVEL_DEBUG, &tag, "Sending file: m_params.m_file_path = %s finished",
                    file_path);
    } else {
        log_message(LOG_LEVEL_DEBUG, &tag, "Sending files from dircetory: m_params.m_out_dir = %s",
                    out_dir);
        m_walked_dirs.clear();
        sendFilesFromDir(m_params.m_out_dir);
        sendFinishSendFiles();
        removeWalkedDirs(tag);
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "Sending files from dircetory: m_params.m_out_dir = %s finished", out_dir);
    }
}

// A named file that is a link sends its target's content under the link's name; afterwards
// the link is removed and the target stays: the operator put the link in line, and the target
// may lie anywhere. Once the named file has been chosen it stays chosen: after it was sent and
// removed in a failed attempt, the next attempt must not fall back to sending the whole directory.
bool CQKTcpCln::oneFileMode() {
    if (!m_one_file && !m_params.m_file_path.empty())
        m_one_file = isRegularFile(Poco::File(m_params.m_file_path));
    return m_one_file;
}

void CQKTcpCln::sendFilesFromDir(std::string dir_path) {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::sendFilesFromDir()");
    log_message(LOG_LEVEL_INFO, &tag, "Sending files from the directory: dir_path = %s",
                dir_path.c_str());
    qk_print_console("Sending files from the directory: " + dir_path);
    // Below the root only real directories are entered (checked before the recursion), so
    // only the root may be a link here.
    if (!isDirectory(Poco::File(dir_path)))
        throw Poco::IOException("Path:  " + dir_path + " isn't a directory. Error...");

    std::vector<Poco::File> entries;
    Poco::File(dir_path).list(entries);
    for (const Poco::File& entry : entries) {
        if (isLink(entry)) {
            log_message(LOG_LEVEL_WARN, &tag, "Link: %s is not followed. Skipping...",
                        entry.path().c_str());
        } else if (isRegularFile(entry)) {
            // An excluded file stays, and so does its directory: removeIfEmpty finds it.
            if (isExcluded(tag, m_params.m_exclude, entry.path()))
                continue;
            log_message(LOG_LEVEL_DEBUG, &tag, "Sending file: (*it).path = %s",
                        entry.path().c_str());
            sendFile(entry.path());
        } else if (m_params.m_sub_dirs != 0 && isRealDirectory(entry)) {
            log_message(LOG_LEVEL_DEBUG, &tag, "Sending files from the directory: (*it).path = %s",
                        entry.path().c_str());
            // One the account may not list stays with what it holds; the others go on.
            if (canList(tag, entry.path()))
                sendDirAndRemoveIfEmpty(tag, entry);
        }
    }
}

// The directory's age is taken before its walk, whose own removals touch it. One modified
// within the grace period may be a producer's fresh directory about to receive a file (by a
// write or a rename): it stays for a later run, and so does every directory above it. The
// removal waits for the end of the walk: with files in flight, a directory's last files are
// removed only once their statuses have come, and waiting for them at each directory would
// cost a round trip per directory.
void CQKTcpCln::sendDirAndRemoveIfEmpty(const QKLogTag& tag, const Poco::File& dir) {
    const bool settled = isSettled(dir, m_dir_grace);
    sendFilesFromDir(dir.path());
    if (settled) {
        m_walked_dirs.push_back(dir.path());
        return;
    }
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Directory: %s was modified less than %lld ms ago. Left for a later run.",
                dir.path().c_str(), static_cast<long long>(m_dir_grace.count()));
}

// Empty directories below were removed by their own walks; what is left there stays (a file,
// a link, or a fresh directory), and with it this one. A plain directory removal: a file
// that arrives meanwhile makes it fail instead of being deleted. One the account may not
// remove (or on a read-only tree) stays with an ERROR line and fails nothing.
void CQKTcpCln::removeWalkedDirs(const QKLogTag& tag) {
    finishRemovals();  // the directories' last files may still be on the removal queue
    for (const std::string& dir : m_walked_dirs)
        removeIfEmpty(tag, dir);
    m_walked_dirs.clear();
}

void CQKTcpCln::removeIfEmpty(const QKLogTag& tag, const std::string& dir_path) {
    std::vector<std::string> entries;
    Poco::File(dir_path).list(entries);
    if (!entries.empty())
        return;
    log_message(LOG_LEVEL_DEBUG, &tag, "Removing of the directory: %s", dir_path.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "Directory: %s is empty. Removing...", dir_path.c_str());
    qk_print_console("Directory: " + dir_path + " is empty. Removing...");
    const int error = ::rmdir(dir_path.c_str()) == 0 ? 0 : errno;
    if (error != 0 && noteUnremovableDir(tag, dir_path, error))
        return;
    if (Poco::File(dir_path).exists())
        throw Poco::IOException("Directory: " + dir_path + " wasn't removed. Error...");
}

SQKSendParams CQKTcpCln::sendParams() const {
    return {m_params.m_out_dir, m_params.m_back_dir, m_params.m_srv_address, m_params.m_srv_port};
}

void CQKTcpCln::openConnection() {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::openConnection()");
    checkNoSocket();
    connectSocket(std::make_unique<Poco::Net::StreamSocket>(), tag);
}

void CQKTcpCln::checkNoSocket() const {
    if (hasSocket())
        throw Poco::Exception("Stream Socket already is created and connected...");
}

void CQKTcpCln::closeConnection() {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::closeConnection()");
    if (!hasSocket())
        throw Poco::Exception("Stream Socket isn't created yet...");
    closeSocket(tag);
}
