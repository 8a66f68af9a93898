// The console client's plain TCP sender: the sending run and the directory walk.
#include "CQKTcpCln.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <vector>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKSourceWalk.h"
#include "transfer/CQKStreamRunner.h"

namespace {

// What a file weighs in the split besides its bytes: every file costs its own frames and
// statuses, and the receiver makes each one durable. It also spreads a tree of empty files
// evenly instead of putting every one of them on the first stream.
constexpr std::uint64_t kFileWeight = 64 * 1024;

std::uint64_t size_of(const Poco::File& file) {
    struct stat info {};
    if (::stat(file.path().c_str(), &info) != 0)
        return 0;  // gone since the walk saw it; the stream passes it over
    return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace

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
        CQKSourceWalk::isExcluded(tag, m_params.m_exclude, m_params.m_file_path, LOG_LEVEL_INFO)) {
        qk_print_console("File: " + m_params.m_file_path +
                         " matches an exclude pattern. Not sent.");
        m_curr_result = QK_SEND_FILE_FOK;
    } else if (!oneFileMode() && m_params.m_streams > 1) {
        sendStreamed(tag);
    } else {
        sendWithAttempts(tag, [this, &tag] { sendSelected(tag); });
    }
    const Poco::DateTime end;
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
        m_one_file = CQKSourceWalk::isRegularFile(Poco::File(m_params.m_file_path));
    return m_one_file;
}

void CQKTcpCln::sendFilesFromDir(std::string dir_path) {
    walkDir(dir_path, [this](const Poco::File& file) { sendFile(file.path()); });
}

// take gets every regular file to send, in the order of the directory listing. An excluded
// file stays, and so does its directory: removeIfEmpty finds it. A sub-directory the account
// may not list stays with what it holds; the others go on.
void CQKTcpCln::walkDir(const std::string& dir_path, const Take& take) {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::sendFilesFromDir()");
    CQKSourceWalk::Steps steps;
    steps.listing = [&tag](const std::string& dir) {
        log_message(LOG_LEVEL_INFO, &tag, "Sending files from the directory: dir_path = %s",
                    dir.c_str());
        qk_print_console("Sending files from the directory: " + dir);
    };
    steps.take = [&tag, &take](const Poco::File& file) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Sending file: (*it).path = %s", file.path().c_str());
        take(file);
    };
    steps.mayEnter = [this, &tag](const Poco::File& dir) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Sending files from the directory: (*it).path = %s",
                    dir.path().c_str());
        return checkListable(tag, dir.path());
    };
    steps.walked = [this, &tag](const Poco::File& dir, bool settled, std::uint32_t found) {
        noteWalked(tag, dir, settled);
        return found;
    };
    CQKSourceWalk(tag, m_params.m_exclude, m_params.m_sub_dirs != 0, m_dir_grace)
        .walk(dir_path, steps);
}

// A directory modified within the grace period before its walk may be a producer's fresh
// directory about to receive a file (by a write or a rename): it stays for a later run, and
// so does every directory above it. The removal waits for the end of the walk: with files in
// flight, a directory's last files are removed only once their statuses have come, and
// waiting for them at each directory would cost a round trip per directory.
void CQKTcpCln::noteWalked(const QKLogTag& tag, const Poco::File& dir, bool settled) {
    if (settled) {
        m_walked_dirs.push_back(dir.path());
        return;
    }
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Directory: %s was modified less than %lld ms ago. Left for a later run.",
                dir.path().c_str(), static_cast<long long>(m_dir_grace.count()));
}

// The tree is walked once, before any connection: the streams send lists that share no
// file, and the emptied directories are removed only after every stream has its statuses.
// A stream that fails leaves its files; the others' files are delivered all the same.
void CQKTcpCln::sendStreamed(const QKLogTag& tag) {
    m_walked_dirs.clear();
    std::vector<SQKListed> listed;
    bool failed = !listOutDir(tag, listed);
    if (!failed) {
        failed = !runStreams(tag, splitBySize(listed, m_params.m_streams));
        try {
            removeWalkedDirs(tag);
        } catch (const Poco::Exception& e) {
            qk_report_exception(&tag, e);
            failed = true;
        }
    }
    // A sub-directory the walk could not list stays with what it holds.
    if (takeUnreadable())
        failed = true;
    m_curr_result = failed ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK;
}

// False, with the failure reported, when the walk failed: nothing is sent then.
bool CQKTcpCln::listOutDir(const QKLogTag& tag, std::vector<SQKListed>& listed) {
    try {
        walkDir(m_params.m_out_dir, [&listed](const Poco::File& file) {
            listed.push_back({file.path(), size_of(file)});
        });
        return true;
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        return false;
    }
}

// Largest first, each to the stream that weighs least so far, so that the streams end close
// together; within a stream the files keep the walk's order. No more streams than files,
// and one for an empty list: that run still greets the receiver and ends the conversation,
// as a run of one stream does.
std::vector<std::vector<std::string>> CQKTcpCln::splitBySize(const std::vector<SQKListed>& listed,
                                                             std::int32_t streams) {
    const std::size_t count =
        std::max<std::size_t>(1, std::min<std::size_t>(std::max(streams, 1), listed.size()));
    std::vector<std::size_t> order(listed.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&listed](std::size_t a, std::size_t b) {
        return listed[a].size > listed[b].size;
    });
    std::vector<std::uint64_t> weight(count, 0);
    std::vector<std::size_t> stream_of(listed.size(), 0);
    for (const std::size_t index : order) {
        const std::size_t lightest = static_cast<std::size_t>(
            std::min_element(weight.begin(), weight.end()) - weight.begin());
        stream_of[index] = lightest;
        weight[lightest] += listed[index].size + kFileWeight;
    }
    std::vector<std::vector<std::string>> parts(count);
    for (std::size_t index = 0; index < listed.size(); ++index)
        parts[stream_of[index]].push_back(listed[index].path);
    return parts;
}

// One sender a part. A stream's Poco::Exception is its own attempts' affair; anything else
// is passed on once every stream has ended, as a run of one stream passes it.
bool CQKTcpCln::runStreams(const QKLogTag& tag,
                           const std::vector<std::vector<std::string>>& parts) {
    std::vector<std::unique_ptr<CQKTcpCln>> streams;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        streams.push_back(makeStream());
        const std::string text = "Stream " + std::to_string(index + 1) + " of " +
                                 std::to_string(parts.size()) + ": " +
                                 std::to_string(parts[index].size()) + " files";
        log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
        qk_print_console(text);
    }
    return CQKStreamRunner::run(parts.size(), [&streams, &parts](std::size_t index) {
        streams[index]->sendPart(parts[index]);
        return streams[index]->currResult() == QK_SEND_FILE_FOK;
    });
}

// A file an earlier attempt delivered and removed is passed over by sendFile.
void CQKTcpCln::sendPart(const std::vector<std::string>& paths) {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::sendPart()");
    sendWithAttempts(tag, [this, &paths] {
        for (const std::string& path : paths)
            sendFile(path);
        sendFinishSendFiles();
    });
}

// Empty directories below were removed by their own walks; what is left there stays (a file,
// a link, or a fresh directory), and with it this one. A plain directory removal: a file
// that arrives meanwhile makes it fail instead of being deleted. One the account may not
// remove (or on a read-only tree) stays with an ERROR line and fails nothing.
void CQKTcpCln::removeWalkedDirs(const QKLogTag& tag) {
    settleSentFiles();  // the directories' last files may still be on the removal queue
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
    const int error = CQKSourceWalk::removeEmptyDir(dir_path);
    if (error != 0 && noteUnremovableDir(tag, dir_path, error))
        return;
    if (Poco::File(dir_path).exists())
        throw Poco::IOException("Directory: " + dir_path + " wasn't removed. Error...");
}

std::unique_ptr<CQKTcpCln> CQKTcpCln::makeStream() const {
    auto stream = std::make_unique<CQKTcpCln>();
    stream->CQKTcpCln::setParams(m_params);
    stream->takeLimitsOf(*this);
    return stream;
}

void CQKTcpCln::takeLimitsOf(const CQKTcpCln& lead) {
    m_timeout = lead.m_timeout;
    m_dir_grace = lead.m_dir_grace;
    m_tally = lead.m_tally;
}

void CQKTcpCln::sendFile(std::string file_path) {
    if (CQKSourceWalk::isRegularFile(Poco::File(file_path)))
        m_tally->noteFound(file_path);
    CQKFileSender::sendFile(std::move(file_path));
}

void CQKTcpCln::noteGreeted() {
    m_tally->noteReached();
}

void CQKTcpCln::noteDelivered(const SQKSentFile& file) {
    m_tally->noteDelivered(file.path, file.size, file.held);
}

void CQKTcpCln::noteRefused(const SQKSentFile& file) {
    m_tally->noteRefused(file.path);
}

// A quiet walk of the whole tree, sub-directories always entered: what a run left or would
// send, and what it passes over without m_sub_dirs. A one-file run counts its file.
CQKTcpCln::SQKTreeCount CQKTcpCln::countOutgoing() const {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::countOutgoing()");
    SQKTreeCount count;
    if (!m_params.m_file_path.empty()) {
        count.files = CQKSourceWalk::isRegularFile(Poco::File(m_params.m_file_path)) ? 1 : 0;
        return count;
    }
    const std::string root = Poco::Path(m_params.m_out_dir).makeDirectory().toString();
    std::set<std::string> dirs;
    CQKSourceWalk::Steps steps;
    steps.take = [&](const Poco::File& file) {
        const std::string dir = Poco::Path(file.path()).parent().toString();
        if (dir == root) {
            ++count.files;
        } else if (m_params.m_sub_dirs != 0) {
            ++count.files;
        } else {
            ++count.files_in_sub_dirs;
            dirs.insert(dir);
        }
    };
    steps.mayEnter = [](const Poco::File&) { return true; };
    steps.walked = [](const Poco::File&, bool, std::uint32_t found) { return found; };
    try {
        CQKSourceWalk(tag, m_params.m_exclude, true, std::chrono::milliseconds(0))
            .walk(m_params.m_out_dir, steps);
    } catch (const Poco::Exception& e) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Counting of %s stopped: %s", root.c_str(),
                    e.displayText().c_str());
    }
    count.sub_dirs = dirs.size();
    return count;
}

SQKSendParams CQKTcpCln::sendParams() const {
    return {m_params.m_out_dir, m_params.m_back_dir, m_params.m_srv_address, m_params.m_srv_port};
}

void CQKTcpCln::openConnection() {
    const QKLogTag tag = qk_make_tag("CQKTcpCln::openConnection()");
    checkNoSocket();
    connectSocket(tag);
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
