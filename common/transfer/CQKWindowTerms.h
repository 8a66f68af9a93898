// What this receiver grants a sender that opens with a window frame: the features it shares
// of the offer (files in flight always; a kept connection for at most QK_KEEP_SECONDS; resume
// where the terms in force grant it: a minimum size set, and TLS or the operator's leave on
// the plain port), its bounds of files and bytes in flight, and the frames that answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/qk_protocol.h"

struct SQKReceivingDirs;

// What a windowed connection takes in flight, and what its frame announces: at most this many
// files and bytes sent but not yet answered.
constexpr std::uint16_t QK_WINDOW_FILES = 256;
constexpr std::uint64_t QK_WINDOW_BYTES = 256ull << 20;
// The longest a sender may keep an idle connection open (it asks for its own time).
constexpr std::uint16_t QK_KEEP_SECONDS = 600;

class CQKWindowTerms {
public:
    CQKWindowTerms(const QKWindowFrame& offer, const SQKReceivingDirs& dirs, bool secure);

    const QKWindowFrame& answer() const { return m_answer; }
    // Seconds the connection may idle between the sender's runs; 0 for none.
    std::uint16_t keepSeconds() const { return m_answer.keep; }
    bool resume() const { return (m_answer.features & QK_WINDOW_FEATURE_RESUME) != 0; }
    // The window frame, followed by the resume terms when resume is granted: one send.
    const std::uint8_t* frames() const { return m_frames; }
    std::size_t framesSize() const { return m_frames_size; }

private:
    QKWindowFrame m_answer;
    std::uint8_t m_frames[QK_WINDOW_FRAME_SIZE + QK_RESUME_TERMS_SIZE] = {};
    std::size_t m_frames_size = QK_WINDOW_FRAME_SIZE;
};
