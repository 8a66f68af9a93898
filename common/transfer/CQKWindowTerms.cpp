// The receiver's answer to a window frame.
#include "transfer/CQKWindowTerms.h"

#include <algorithm>

#include "transfer/CQKFileListener.h"

CQKWindowTerms::CQKWindowTerms(const QKWindowFrame& offer, const SQKReceivingDirs& dirs,
                               bool secure) {
    m_answer.features = offer.features & (QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_KEEP |
                                          QK_WINDOW_FEATURE_RESUME);
    if (dirs.resume_min_size == 0 || (!secure && !dirs.resume_plain))
        m_answer.features &= static_cast<std::uint16_t>(~QK_WINDOW_FEATURE_RESUME);
    if ((m_answer.features & QK_WINDOW_FEATURE_KEEP) != 0 && offer.keep > 0)
        m_answer.keep = std::min(offer.keep, QK_KEEP_SECONDS);
    else
        m_answer.features &= static_cast<std::uint16_t>(~QK_WINDOW_FEATURE_KEEP);
    m_answer.files = QK_WINDOW_FILES;
    m_answer.bytes = QK_WINDOW_BYTES;
    qk_build_window(m_frames, m_answer);
    if (resume()) {
        qk_build_resume_terms(m_frames + m_frames_size, dirs.resume_min_size);
        m_frames_size += QK_RESUME_TERMS_SIZE;
    }
}
