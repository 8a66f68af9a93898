// The checks of a header, the claim on a name, where content goes, and the refusal of a file.
#include "transfer/CQKHeaderPolicy.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <algorithm>

#include "base/qk_console.h"
#include "base/qk_path.h"
#include "protocol/CQKFrameReader.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKFileListener.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_tls.h"

namespace {

constexpr const char* kLogBanner = "=================================== >>";
constexpr const char* kConsoleBanner = "-------------------- >>";

// What the receiver uses name for in a directory, when it is a name of its own there: the
// lock file in the incoming root, and the shapes of its temporaries anywhere (which the
// clean-up of crash debris removes); null for any other name. at_top: name is an entry of
// the incoming root itself.
const char* own_use_of(const std::string& name, bool at_top) {
    if (at_top && name == CQKNameLock::kFileName)
        return "its name lock file";
    if (at_top && qk_is_crl_number_name(name))
        return "its record of revocation list numbers";
    if (at_top && name == CQKPartialStore::kDirName)
        return "the partial content of cut transfers";
    if (CQKIncomingFile::isTemporaryName(name))
        return "the temporaries of received files";
    if (qk_is_backup_temporary_name(name))
        return "the temporaries of backups";
    return nullptr;
}

}  // namespace

CQKHeaderPolicy::CQKHeaderPolicy(CQKFileListener& listener, std::string log_name, bool secure)
    : m_listener(listener), m_log_name(std::move(log_name)), m_secure(secure) {}

QKLogTag CQKHeaderPolicy::tag() const {
    return qk_make_tag((m_log_name + "::receiveData()").c_str());
}

template <typename Step>
void CQKHeaderPolicy::refusingFor(SQKReceivedFile& file, Refusal reason, Step step) {
    try {
        step();
    } catch (...) {
        refuse(file, reason, Content::Keep);
        throw;
    }
}

void CQKHeaderPolicy::admit(SQKReceivedFile& file, const QKRelayHeader& header,
                            const SQKReceivingDirs& dirs) {
    QKLogTag tag = this->tag();
    file.file_name = header.file_name;
    file.file_size = header.file_size;
    const bool safe_sub_dir = qk_normalise_sub_dir(header.sub_dir, file.sub_dir);
    file.in_dir = qk_generate_path(dirs.in_dir, file.sub_dir);
    file.back_dir = dirs.back_dir;
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->file_name = %s", file.file_name.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->sub_dir = %s m_cur->in_dir = %s",
                file.sub_dir.c_str(), file.in_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->file_size = %llu",
                static_cast<unsigned long long>(file.file_size));
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_size = %d", 0);
    refusingFor(file, Refusal::Name, [&] { checkNames(file, header, safe_sub_dir); });
    refusingFor(file, Refusal::Write, [&] { createTargetDirectory(file); });
    announceFile(file);
    // Also when another receiver holds the name.
    refusingFor(file, Refusal::Receiving, [&] {
        registerPath(file);
        lockName(file, dirs.in_dir);
    });
    // A directory under the name is refused before any content arrives.
    refusingFor(file, Refusal::Name, [&] { targetExists(file.file_path); });
}

void CQKHeaderPolicy::checkNames(const SQKReceivedFile& file, const QKRelayHeader& header,
                                 bool safe_sub_dir) const {
    if (file.file_name.empty()) {
        throw Poco::Exception("QK_FILE_SEND_FHEADER: m_cur->file_name = " + file.file_name +
                              " length == 0");
    }
    if (!safe_sub_dir || !qk_is_safe_file_name(file.file_name)) {
        QKLogTag tag = this->tag();
        log_message(LOG_LEVEL_ERROR, &tag, "Refused path: file_name = %s sub_dir = %s",
                    header.file_name.c_str(), header.sub_dir.c_str());
        throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
    }
    refuseOwnNames(file);
}

// Refuses a header whose file name, or a sub-directory of it, is a name the receiver keeps
// for itself in that directory: nothing of the receiver's is replaced, and nothing sent can
// later be taken for the receiver's debris and removed.
void CQKHeaderPolicy::refuseOwnNames(const SQKReceivedFile& file) const {
    std::string component;
    const char* use = nullptr;
    std::size_t start = 0;
    while (use == nullptr && start < file.sub_dir.size()) {
        const std::size_t end = std::min(file.sub_dir.find('/', start), file.sub_dir.size());
        component = file.sub_dir.substr(start, end - start);
        use = own_use_of(component, start == 0);
        start = end + 1;
    }
    if (use == nullptr) {
        component = file.file_name;
        use = own_use_of(component, file.sub_dir.empty());
    }
    if (use == nullptr)
        return;
    QKLogTag tag = this->tag();
    log_message(LOG_LEVEL_ERROR, &tag,
                "Refused path: file_name = %s sub_dir = %s: %s is a name the receiver keeps for "
                "itself (%s)",
                file.file_name.c_str(), file.sub_dir.c_str(), component.c_str(), use);
    throw ReceivingStatusException("QK_FILE_SEND_FHEADER: " + component +
                                   " is a name the receiver keeps for itself");
}

void CQKHeaderPolicy::createTargetDirectory(const SQKReceivedFile& file) {
    const std::string error = "QK_FILE_SEND_FHEADER: m_cur->sub_dir = " + file.sub_dir +
                              " m_cur->in_dir = " + file.in_dir + " doesn't exists...";
    try {
        qk_create_private_dirs(file.in_dir);
        if (qk_is_directory(file.in_dir))
            return;
    } catch (const Poco::Exception&) {
        // A file in the way, or no permission: reported below.
    }
    throw Poco::Exception(error);
}

void CQKHeaderPolicy::announceFile(const SQKReceivedFile& file) const {
    QKLogTag tag = this->tag();
    const unsigned long long size = file.file_size;
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBanner);
    log_message(LOG_LEVEL_INFO, &tag, "Start Receiving file: %s to sub directory: %s size: %llu",
                file.file_name.c_str(), file.sub_dir.c_str(), size);
    qk_print_console(kConsoleBanner);
    qk_print_console("Start Receiving file: " + file.file_name +
                     " to sub directory: " + file.sub_dir + " size: " + std::to_string(size));
}

// The path stays registered while the file is this connection's: one path is written by one
// connection of this receiver at a time. A path another connection holds stays its own.
void CQKHeaderPolicy::registerPath(SQKReceivedFile& file) const {
    const std::string file_path = qk_generate_path(file.in_dir, file.file_name);
    QKLogTag tag = this->tag();
    log_message(LOG_LEVEL_TRACE, &tag, "file_path = %s", file_path.c_str());
    const std::string normalised = Poco::Path(file_path).toString();
    if (!m_listener.receivingFiles().tryInsert(normalised)) {
        throw FileIsReceivingAlready("QK_FILE_SEND_FHEADER: File = " + file_path +
                                     " is receiving already");
    }
    file.file_path = normalised;
}

// Keeps receivers of other machines that share the incoming tree away from the name until
// the file is under it or dropped: nothing touches the file there or its backups before.
// Another receiver's file is refused like one this receiver is receiving already. A store
// without locks is said once per listener start and not relied on: refusing every file would
// stop the relay, and this receiver's own files are still kept apart by the registry.
void CQKHeaderPolicy::lockName(SQKReceivedFile& file, const std::string& in_dir) {
    switch (file.name_lock.tryLock(in_dir, file.relativePath())) {
        case CQKNameLock::Result::Held:
            return;
        case CQKNameLock::Result::Busy: {
            const std::string file_path = file.file_path;
            releaseName(file);
            throw FileIsReceivingAlready("QK_FILE_SEND_FHEADER: File = " + file_path +
                                         " is receiving already by another receiver");
        }
        case CQKNameLock::Result::Unavailable: {
            QKLogTag tag = this->tag();
            const int level = m_listener.firstNameLockFailure() ? LOG_LEVEL_ERROR : LOG_LEVEL_DEBUG;
            log_message(level, &tag,
                        "No lock on the shared incoming directory, files are kept apart only "
                        "within this receiver: %s",
                        file.name_lock.error().c_str());
            return;
        }
    }
}

bool CQKHeaderPolicy::targetExists(const std::string& file_path) {
    Poco::File target(file_path);
    if (!target.exists())
        return false;
    if (target.isDirectory()) {
        throw Poco::Exception("Error of replacing file: file_path = " + file_path +
                              " is a directory");
    }
    return true;
}

// A resumable file is refused before any byte of it is sent when it cannot fit in the free
// space beyond the reserve; any other failure to open refuses it as a failed write.
void CQKHeaderPolicy::openContent(SQKReceivedFile& file, const SQKReceivingDirs& dirs,
                                  const std::uint8_t* source_tag,
                                  const std::function<void(std::uint64_t held)>& opened) {
    refusingFor(file, Refusal::Write, [&] {
        std::uint64_t held = 0;
        const bool resumed = source_tag != nullptr && resumeGranted(file.file_size, dirs) &&
                             openPartial(file, dirs, source_tag, held);
        if (!resumed) {
            try {
                file.content->open(file.in_dir, file.file_path);
            } catch (const Poco::Exception& e) {
                QKLogTag tag = this->tag();
                log_message(LOG_LEVEL_ERROR, &tag, "%s", e.displayText().c_str());
                throw Poco::Exception(
                    "QK_FILE_SEND_FHEADER: Error of opening (std::ios::out | std::ios::trunc) "
                    "file: file_path = " +
                    file.file_path);
            }
        }
        file.held = held;
        opened(held);
    });
}

// Asked at each header, so that a kept connection follows the terms in force at each run of
// its sender, not those of its start. The plain port grants resume only where the operator
// says so: its peers prove nothing of who leaves partial content behind.
bool CQKHeaderPolicy::resumeGranted(std::uint64_t file_size, const SQKReceivingDirs& dirs) const {
    return dirs.resume_min_size != 0 && file_size >= dirs.resume_min_size &&
           (m_secure || dirs.resume_plain);
}

// False when the file is received without resume: no store, no room in its cap, or its
// content busy elsewhere. Throws when it cannot fit in the free space beyond the reserve.
bool CQKHeaderPolicy::openPartial(SQKReceivedFile& file, const SQKReceivingDirs& dirs,
                                  const std::uint8_t* source_tag, std::uint64_t& held) const {
    CQKPartialStore store(dirs.in_dir);
    const std::string dir = store.ensureDir();
    if (dir.empty())
        return false;
    const std::string name =
        CQKPartialStore::nameOf(file.relativePath(), source_tag, QK_SOURCE_TAG_SIZE);
    QKLogTag tag = this->tag();
    switch (store.admit(name, file.file_size, dirs.partial_max)) {
        case CQKPartialStore::Admission::NoRoom:
            throw Poco::WriteFileException(
                "QK_FILE_SEND_FHEADER: File = " + file.file_path + " of " +
                std::to_string(file.file_size) +
                " bytes does not fit in the free space of the incoming directory beyond its "
                "reserve");
        case CQKPartialStore::Admission::NotKept:
            log_message(LOG_LEVEL_INFO, &tag,
                        "Receiving file: %s without resume: its partial content would not fit "
                        "in partial_max",
                        file.file_path.c_str());
            return false;
        case CQKPartialStore::Admission::Kept:
            break;
    }
    file.partial_root = dirs.in_dir;
    file.partial_name = name;
    bool opened = false;
    try {
        opened =
            file.content->openPartial(file.in_dir, file.file_path, dir, name, file.file_size, held);
    } catch (...) {
        notePartialStore(file);
        throw;
    }
    if (!opened) {
        notePartialStore(file);
        return false;
    }
    if (held > 0) {
        log_message(LOG_LEVEL_INFO, &tag, "Resuming file: %s from byte %llu of %llu",
                    file.file_path.c_str(), static_cast<unsigned long long>(held),
                    static_cast<unsigned long long>(file.file_size));
        qk_receiver_metrics().resumed_files.inc();
        qk_receiver_metrics().resumed_bytes.inc(held);
    }
    return true;
}

// The file it replaces is backed up only once the new content is on the disk: a sender
// retrying a file that fails (disk full, no permission, a bad checksum) rotates nothing out of
// the backups, and each replaced version is backed up once.
void CQKHeaderPolicy::backupReplaced(const SQKReceivedFile& file) const {
    if (file.back_dir.empty())
        return;
    QKLogTag tag = this->tag();
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Backuping file: m_file_path = %s m_in_dir = %s m_sub_dir = %s",
                file.file_path.c_str(), file.back_dir.c_str(), file.sub_dir.c_str());
    try {
        qk_backup_file(file.file_path, file.back_dir, file.sub_dir);
    } catch (const Poco::Exception& e) {
        // Reported once, by the refusal's ERROR, which names the file and the backup tree.
        throw Poco::WriteFileException("Backup of " + file.file_path + " into " + file.back_dir +
                                       " failed, the file is refused: " + e.displayText());
    }
    log_message(LOG_LEVEL_INFO, &tag, "File: %s has been backuped.", file.file_path.c_str());
}

void CQKHeaderPolicy::refuse(SQKReceivedFile& file, Refusal reason, Content content) noexcept {
    if (!file.refused) {
        const SQKReceiverMetrics& metrics = qk_receiver_metrics();
        switch (reason) {
            case Refusal::Name:
                metrics.refused_name.inc();
                break;
            case Refusal::Receiving:
                metrics.refused_receiving.inc();
                break;
            case Refusal::Write:
                metrics.refused_write.inc();
                break;
            case Refusal::Checksum:
                metrics.refused_checksum.inc();
                break;
            case Refusal::Other:
                metrics.refused_other.inc();
                break;
            case Refusal::Ended:
                break;
        }
    }
    file.refused = true;
    if (content == Content::Drop)
        file.content->discard();
    else
        file.content->abandon();
    notePartialStore(file);
    releaseName(file);
}

void CQKHeaderPolicy::releaseName(SQKReceivedFile& file) noexcept {
    file.name_lock.unlock();
    if (file.file_path.empty())
        return;
    try {
        m_listener.receivingFiles().erase(file.file_path);
    } catch (...) {
    }
    file.file_path.clear();
}

void CQKHeaderPolicy::notePartialStore(SQKReceivedFile& file) noexcept {
    if (file.partial_root.empty())
        return;
    try {
        CQKPartialStore(file.partial_root).release(file.partial_name);
    } catch (...) {
    }
    file.partial_root.clear();
    file.partial_name.clear();
}
