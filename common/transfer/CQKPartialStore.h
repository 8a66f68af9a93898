// Partial content of cut transfers, kept for the next attempt of the same source.
//
// One hidden directory below the incoming root, "<in_dir>/.qk_relay.partial", holds a file
// per resumable file being received or cut: "<path>.<source>", 32 hex digits of a SHA-256 of
// the file's path relative to the root, and 32 of the sender's source tag. Every receiver of
// that root uses it (a cluster on one shared store included): a file's partial content is
// opened, written and moved under its name only under the file's name lock (CQKNameLock), so
// whichever receiver the next attempt reaches resumes it. The removals of content nobody uses
// (the sweep, the room made for a new file, the content of a path from an older source) take
// no name lock: they remove only content that no connection holds open (see below), and a
// connection that opens content just removed finds it gone and starts anew. Nothing under it
// is ever visible under a file's name.
//
// SECURITY: what a peer may leave here is bounded. A resumable file is admitted (admit())
// only when its declared size fits in the store's cap (partial_max) and in the free space
// of the file system beyond a reserve; the oldest content nobody uses is removed first to
// make room. Content a connection holds open is never removed: in this process the store's
// index says so, across processes (receivers sharing the tree) the connection's OFD lock on
// the file does, which every removal tries first.
//
// The housekeeping of a header costs a constant, not a listing: each incoming root has an
// in-memory index of its store (names, sizes, times), listed once at first use and again
// by the periodic sweep (at most every 10 minutes), and kept up to date as this process
// creates, grows and removes content. What other receivers of a shared tree did since the
// last listing is missing from it until the next one. The receiver's metrics hold the
// store's files and bytes, and the content removed early by reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "config/SQKSrvParams.h"

class CQKPartialStore {
public:
    static constexpr const char* kDirName = ".qk_relay.partial";

    // What admit() decides for a resumable file.
    enum class Admission {
        Kept,     // its content goes into the store, under its name there
        NotKept,  // received without resume: it cannot fit in the cap, or its content is busy
        NoRoom,   // it cannot fit in the free space beyond the reserve: refuse it
    };

    explicit CQKPartialStore(const std::string& in_dir);

    // The directory, created when missing; empty when it cannot be (resume is then not
    // offered for the file, which is received from its start).
    std::string ensureDir() const;
    // The name of the partial content of relative_path from the source tag (tag_size bytes).
    static std::string nameOf(const std::string& relative_path, const std::uint8_t* tag,
                              std::size_t tag_size);
    // Before a resumable file of file_size bytes is opened under name: removes the content of
    // its path from other sources (the file changed since), then makes room for it (the
    // oldest unused content first) when that makes it fit. Kept marks name as in use until
    // release(name).
    Admission admit(const std::string& name, std::uint64_t file_size, const SQKPartialMax& max);
    // The content of name is no longer used by its connection (kept, moved under its file's
    // name or removed): the index takes what the disk says of it.
    void release(const std::string& name);
    // Lists the store again and removes content not written for max_age and not in use: at
    // once when forced, else at most once every 10 minutes per incoming root.
    void sweep(std::chrono::hours max_age, bool force = false);

    // The free space a resumable file must leave on a file system of fs_size bytes: 5 % of
    // it, at most 1 GiB.
    static std::uint64_t reserveOf(std::uint64_t fs_size);

    struct SQKIndex;  // the store as this process knows it, one per incoming root

private:
    std::string m_dir;
    std::shared_ptr<SQKIndex> m_index;
};
