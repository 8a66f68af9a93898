// Services as daemons with pid files, without a service manager.
#include "system/CQKDirectManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "base/CQKInstanceLock.h"
#include "base/qk_fs.h"
#include "system/qk_process.h"

namespace {

constexpr const char* kRunDirEnv = "QK_RELAY_RUN_DIR";
constexpr std::size_t kMaxPidText = 32;
constexpr std::size_t kMaxCmdline = 65536;

std::string as_directory(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

std::string proc_file(pid_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

// The path a process runs, without the mark of a file replaced since ("" when unreadable,
// as for a zombie or another user's process).
std::string executable_of(pid_t pid) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(proc_file(pid, "exe").c_str(), buffer, sizeof(buffer) - 1);
    if (length <= 0)
        return std::string();
    std::string path(buffer, static_cast<std::size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

std::string canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

// The content of a small regular file; "" for anything else. A FIFO or a link put in the
// pid file's place is neither opened nor followed.
std::string read_small_file(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > static_cast<off_t>(kMaxPidText))
        return std::string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    char buffer[kMaxPidText];
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    ::close(fd);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

// A pid written as decimal digits with an optional line end; 0 for anything else.
pid_t parse_pid(const std::string& text) {
    const std::size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos || end >= 9)
        return 0;
    const std::string digits = text.substr(0, end + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<pid_t>(std::atol(digits.c_str()));
}

bool has_argument(pid_t pid, const std::string& argument) {
    std::ifstream file(proc_file(pid, "cmdline"), std::ios::binary);
    std::string arg;
    for (std::size_t read = 0; read < kMaxCmdline && std::getline(file, arg, '\0');
         read += arg.size() + 1) {
        if (arg == argument)
            return true;
    }
    return false;
}

const char* state_text(std::uint32_t state) {
    switch (state) {
        case QK_SERVICE_STARTING:
            return "starting";
        case QK_SERVICE_STOPPING:
            return "stopping";
        case QK_SERVICE_RUNNING:
            return "running";
        default:
            return "stopped";
    }
}

}  // namespace

CQKDirectManager::CQKDirectManager(std::string name, std::string bin_dir, std::string run_dir,
                                   std::chrono::milliseconds time_limit)
    : CQKServiceManager(std::move(name)),
      m_bin_dir(as_directory(std::move(bin_dir))),
      m_run_dir(as_directory(std::move(run_dir))),
      m_time_limit(time_limit) {}

std::string CQKDirectManager::ownBinDirectory() {
    char module[PATH_MAX];
    if (!qk_res_is(qk_base_module_path(module, sizeof(module)), QK_RES_OK))
        throw Poco::IOException("Error of obtaining of base module path (qk_base_module_path).");
    return Poco::Path(module).parent().toString();
}

std::string CQKDirectManager::runDirectory() {
    const char* chosen = std::getenv(kRunDirEnv);
    if (chosen != nullptr && *chosen != '\0')
        return as_directory(chosen);
    return CQKInstanceLock::lockDirectory(::geteuid());
}

bool CQKDirectManager::isServiceName(const std::string& name) {
    return name == "qk_relay_srvsvc" || name == "qk_relay_clnsvc";
}

bool CQKDirectManager::isRegistered() {
    struct stat st {};
    return isServiceName(name()) && ::stat(program().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(program().c_str(), X_OK) == 0;
}

bool CQKDirectManager::isProgram(pid_t pid) const {
    return pid > 0 && executable_of(pid) == canonical(program());
}

pid_t CQKDirectManager::livePidIn(const std::string& file) const {
    const pid_t pid = parse_pid(read_small_file(file));
    return isProgram(pid) ? pid : 0;
}

bool CQKDirectManager::launching() const {
    const std::string argument = "--pidfile=" + pidFile();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return false;
    bool found = false;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = parse_pid(entry->d_name);
        if (pid != 0 && isProgram(pid) && has_argument(pid, argument)) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

std::uint32_t CQKDirectManager::state() {
    if (!isRegistered())
        return QK_SERVICE_NO_STATE;
    const pid_t stopping = livePidIn(stoppingFile());
    // The note of a stop whose process has ended says nothing more.
    if (stopping == 0)
        ::unlink(stoppingFile().c_str());
    const pid_t pid = livePidIn(pidFile());
    if (pid != 0)
        return pid == stopping ? QK_SERVICE_STOPPING : QK_SERVICE_RUNNING;
    // A stopping daemon removes its pid file just before it ends.
    if (stopping != 0)
        return QK_SERVICE_STOPPING;
    return launching() ? QK_SERVICE_STARTING : QK_SERVICE_STOPPED;
}

bool CQKDirectManager::isRunning() {
    if (!isRegistered())
        throwNotRegistered();
    return state() == QK_SERVICE_RUNNING;
}

void CQKDirectManager::start() {
    if (!isRegistered())
        throwNotRegistered();
    const std::uint32_t now = state();
    if (now != QK_SERVICE_STOPPED)
        throw Poco::IllegalStateException(name() + " is " + state_text(now));
    Poco::File(m_run_dir).createDirectories();
    ::unlink(stoppingFile().c_str());
    SQKProcessResult launcher;
    try {
        launcher = qk_run_process(program(), {"--daemon", "--pidfile=" + pidFile()}, m_time_limit);
    } catch (const Poco::TimeoutException&) {
        // The daemon still holds its start report open: it is slow to start, not failed;
        // the state says so.
        if (state() == QK_SERVICE_STARTING || state() == QK_SERVICE_RUNNING)
            return;
        throw;
    }
    if (launcher.exit_code != 0)
        throw Poco::SystemException(
            name() + " did not start (exit code " + std::to_string(launcher.exit_code) + ")",
            launcher.message());
    // The report closed: the daemon either runs its service or has ended, its reason last.
    if (state() == QK_SERVICE_STOPPED)
        throw Poco::SystemException(name() + " ended during its start", launcher.message());
}

void CQKDirectManager::stop() {
    if (!isRegistered())
        throwNotRegistered();
    const std::uint32_t now = state();
    const pid_t pid = livePidIn(pidFile());
    if (now != QK_SERVICE_RUNNING || pid == 0)
        throw Poco::IllegalStateException(name() + " is " + state_text(now));
    // Noted before the signal, so that a query never sees the signalled process as running.
    // Without the note the stop still works; only the state shows Running until the end.
    std::ofstream(stoppingFile(), std::ios::trunc) << pid << '\n';
    if (::kill(pid, SIGTERM) != 0) {
        const int error = errno;
        ::unlink(stoppingFile().c_str());
        throw Poco::SystemException("cannot send SIGTERM to " + name(), std::strerror(error));
    }
}
