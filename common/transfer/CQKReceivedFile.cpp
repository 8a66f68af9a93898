// The content factory of received files.
#include "transfer/CQKReceivedFile.h"

#include <mutex>

namespace {

std::mutex g_factory_mutex;
SQKReceivedFile::ContentFactory g_factory;

}  // namespace

void SQKReceivedFile::setContentFactory(ContentFactory factory) {
    std::lock_guard<std::mutex> lock(g_factory_mutex);
    g_factory = std::move(factory);
}

std::unique_ptr<CQKIncomingFile> SQKReceivedFile::makeContent() {
    std::lock_guard<std::mutex> lock(g_factory_mutex);
    return g_factory ? g_factory() : std::make_unique<CQKIncomingFile>();
}
