// A file from its header to its status, as the receiving connection and its committer hold it.
//
// One thread at a time owns a file: the connection's, from its header to its finished frame;
// windowed, then the committer's while it is committed, and the connection's again for its
// status. Its content (CQKIncomingFile) is made by a replaceable factory, so that a test can
// inject the failures of a disk into a real connection.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKNameLock.h"

struct SQKReceivedFile {
    // Why a file is refused, for the refusal counters; Ended counts nothing (the reading of
    // its held bytes was ended by the connection's end, its sender sends it again).
    enum class Refusal { Name, Receiving, Write, Checksum, Other, Ended };

    SQKReceivedFile() : content(makeContent()) {}

    std::string file_name;
    std::string sub_dir;   // relative, "/"-separated
    std::string in_dir;    // target directory below the incoming directory
    std::string back_dir;  // backup directory of this file; empty for none
    std::uint64_t file_size = 0;
    std::string file_path;  // registered in the listener's registry while set
    CQKNameLock name_lock;  // the name on the shared store, while file_path is set
    std::unique_ptr<CQKIncomingFile> content;
    bool refused = false;        // its status is 0x7F (counted once, when it was refused)
    bool replacing = false;      // a file stands under its name
    std::uint64_t held = 0;      // resumed: bytes of its content held before this transfer
    std::string partial_root;    // its content is partial content of this incoming root
    std::string partial_name;    // under this name in its store
    std::uint32_t sent_crc = 0;  // resumed: the sender's CRC-32 of the whole content
    std::uint32_t new_crc = 0;   // resumed: the CRC-32 of the bytes after those held

    // The relative path of the file below the incoming root.
    std::string relativePath() const {
        return sub_dir.empty() ? file_name : sub_dir + "/" + file_name;
    }

    using ContentFactory = std::function<std::unique_ptr<CQKIncomingFile>()>;
    // Replaces what makes the content of the files created from now on (null: a plain
    // CQKIncomingFile). Process-wide; for tests, set while no connection runs.
    static void setContentFactory(ContentFactory factory);

private:
    static std::unique_ptr<CQKIncomingFile> makeContent();
};

using QKReceivedFiles = std::deque<std::unique_ptr<SQKReceivedFile>>;
