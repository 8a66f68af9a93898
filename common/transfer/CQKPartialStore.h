// Partial content of cut transfers, kept for the next attempt of the same source.
//
// One hidden directory below the incoming root, "<in_dir>/.qk_relay.partial", holds a file
// per resumable file being received or cut: "<path>.<source>", 32 hex digits of a SHA-256 of
// the file's path relative to the root, and 32 of the sender's source tag. Every receiver of
// that root uses it (a cluster on one shared store included): a file's partial content is
// only touched under the file's name lock (CQKNameLock), so whichever receiver the next
// attempt reaches resumes it. Partial content of the same path from another source (the file
// changed since) is removed when the new source's transfer starts; any left unwritten for the
// time limit is removed by sweep(). Nothing under it is ever visible under a file's name.
//
// The receiver's metrics hold the store's files and bytes as of the last look.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class CQKPartialStore {
public:
    static constexpr const char* kDirName = ".qk_relay.partial";

    explicit CQKPartialStore(const std::string& in_dir);

    // The directory, created when missing; empty when it cannot be (resume is then not
    // offered for the file, which is received from its start).
    std::string ensureDir() const;
    // The name of the partial content of relative_path from the source tag (tag_size bytes).
    static std::string nameOf(const std::string& relative_path, const std::uint8_t* tag,
                              std::size_t tag_size);
    // Removes the partial content of name's path from every other source.
    void removeOtherSources(const std::string& name) const;
    // Removes partial content not written for max_age and updates the metrics: at once when
    // forced, else at most once every 10 minutes per process.
    void sweep(std::chrono::hours max_age, bool force = false) const;

private:
    std::string m_dir;
};
