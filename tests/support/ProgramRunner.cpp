#include "ProgramRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <system_error>
#include <thread>

#ifndef QK_TEST_STAGE_DIR
#error "QK_TEST_STAGE_DIR must name the staged install tree of the build"
#endif

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr const char* kSetpriv = "/usr/bin/setpriv";

std::string read_all(const std::string& fpath) {
    return ProgramRunner::readFile(fpath).value_or("");
}

// Keys, the CA and logs are what the tests create and inspect: the copy must not inherit
// any that a developer made inside the stage.
void remove_generated_files(const fs::path& tree) {
    std::vector<fs::path> doomed;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = entry.path().lexically_relative(tree);
        const std::string text = relative.generic_string();
        if (entry.path().parent_path().filename() == "keys" ||
            text.rfind("share/orvane/ca/", 0) == 0 || text.rfind("var/log/", 0) == 0) {
            doomed.push_back(entry.path());
        }
    }
    for (const fs::path& file : doomed)
        fs::remove(file);
}

// The shipped service files log from INFO; the tests read the services' TRACE and DEBUG
// lines, so their copies log everything, as a file without the key does.
void log_everything(const fs::path& tree) {
    for (const char* program : {"qk_relay_srvsvc", "qk_relay_clnsvc"}) {
        const fs::path file = tree / "share/orvane/common" / (std::string(program) + ".xml");
        const std::optional<std::string> text = ProgramRunner::readFile(file);
        if (text)
            ProgramRunner::writeFile(
                file, std::regex_replace(*text, std::regex("<log_level>[^<]*</log_level>"),
                                         "<log_level>TRACE</log_level>"));
    }
}

int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

RunningProgram::RunningProgram(pid_t pid, std::string out_fpath, std::string err_fpath)
    : m_pid(pid), m_out_fpath(std::move(out_fpath)), m_err_fpath(std::move(err_fpath)) {}

RunningProgram::~RunningProgram() {
    if (!m_exit_code) {
        ::kill(m_pid, SIGKILL);
        reap(0);
    }
}

void RunningProgram::signal(int signo) const {
    ASSERT_EQ(::kill(m_pid, signo), 0) << std::strerror(errno);
}

bool RunningProgram::reap(int options) {
    if (m_exit_code)
        return true;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(m_pid, &status, options);
    } while (result < 0 && errno == EINTR);
    if (result != m_pid)
        return false;
    m_exit_code = decode_status(status);
    return true;
}

std::optional<int> RunningProgram::waitForExit(std::chrono::milliseconds timeout) {
    ProgramRunner::waitUntil([this] { return reap(WNOHANG); }, timeout);
    return m_exit_code;
}

bool RunningProgram::running() {
    return !reap(WNOHANG);
}

std::string RunningProgram::out() const {
    return read_all(m_out_fpath);
}

std::string RunningProgram::err() const {
    return read_all(m_err_fpath);
}

bool RunningProgram::waitForOutput(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
    return ProgramRunner::waitUntil([&] { return (out() + err()).find(text) != std::string::npos; },
                                    timeout);
}

ProgramRunner::ProgramRunner() {
    const fs::path tree = prefix();
    fs::copy(QK_TEST_STAGE_DIR, tree, fs::copy_options::recursive);
    remove_generated_files(tree);
    log_everything(tree);
    fs::create_directories(m_root / "output");
    fs::create_directories(m_root / "scratch");
}

std::string ProgramRunner::stageDir() {
    return QK_TEST_STAGE_DIR;
}

void ProgramRunner::runAs(uid_t uid, gid_t gid) {
    const fs::path root = m_root / "";
    ASSERT_EQ(::chown(root.c_str(), uid, gid), 0) << std::strerror(errno);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        ASSERT_EQ(::lchown(entry.path().c_str(), uid, gid), 0) << entry.path();
    m_run_as = {uid, gid};
}

std::unique_ptr<RunningProgram> ProgramRunner::start(const std::string& program,
                                                     const std::vector<std::string>& args,
                                                     const Environment& env) const {
    const std::string exe = path("bin/" + program);
    const std::string base = m_root / ("output/" + std::to_string(++m_runs) + "." + program);
    const std::string out_fpath = base + ".out";
    const std::string err_fpath = base + ".err";

    std::vector<std::string> argv_text;
    if (m_run_as) {
        argv_text = {kSetpriv, "--reuid=" + std::to_string(m_run_as->first),
                     "--regid=" + std::to_string(m_run_as->second), "--clear-groups", "--"};
    }
    argv_text.push_back(exe);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The data root for installs that cannot write beside themselves points into the
    // scratch area, so nothing outside the temporary directory is touched.
    Environment merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t eq = text.find('=');
        if (eq != std::string::npos)
            merged[text.substr(0, eq)] = text.substr(eq + 1);
    }
    merged["QK_RELAY_PROGRAM_DATA"] = scratch("program_data");
    for (const auto& [name, value] : env)
        merged[name] = value;
    std::vector<std::string> env_text;
    for (const auto& [name, value] : merged)
        env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : env_text)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_fpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_fpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    // The child starts with no blocked signals and default handlers for the ones the tests
    // send, whatever the test process has set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signo : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signo);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int rc =
        ::posix_spawn(&pid, argv_text.front().c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "posix_spawn " + exe);
    return std::make_unique<RunningProgram>(pid, out_fpath, err_fpath);
}

ProgramResult ProgramRunner::run(const std::string& program, const std::vector<std::string>& args,
                                 const Environment& env, std::chrono::milliseconds timeout) const {
    std::unique_ptr<RunningProgram> child = start(program, args, env);
    ProgramResult result;
    if (const std::optional<int> code = child->waitForExit(timeout)) {
        result.exit_code = *code;
    } else {
        ADD_FAILURE() << program << " still runs after " << timeout.count() << " ms; killed";
        child->signal(SIGKILL);
        child->waitForExit(std::chrono::seconds(10));
    }
    result.out = child->out();
    result.err = child->err();
    return result;
}

std::vector<std::uint16_t> ProgramRunner::freePorts(std::size_t count) {
    // All sockets stay open until every port is read, so the ports differ.
    std::vector<Poco::Net::ServerSocket> sockets(count);
    std::vector<std::uint16_t> ports;
    for (Poco::Net::ServerSocket& socket : sockets) {
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", 0));
        ports.push_back(socket.address().port());
    }
    return ports;
}

bool ProgramRunner::waitForPort(std::uint16_t port, std::chrono::milliseconds timeout) {
    return waitUntil(
        [port] {
            try {
                Poco::Net::StreamSocket probe;
                probe.connect(Poco::Net::SocketAddress("127.0.0.1", port),
                              Poco::Timespan(0, 200000));
                probe.close();
                return true;
            } catch (const Poco::Exception&) {
                return false;
            }
        },
        timeout);
}

void ProgramRunner::writeFile(const std::string& fpath, const std::string& content) {
    TempDir::writeFileAt(fpath, content);
}

std::string ProgramRunner::logsOf(const std::string& program) const {
    std::string logs;
    std::error_code error;
    for (fs::directory_iterator it(path("var/log/orvane/" + program), error), end;
         !error && it != end; it.increment(error))
        logs += readFile(it->path()).value_or("");
    return logs;
}

std::optional<std::string> ProgramRunner::readFile(const std::string& fpath) {
    std::ifstream in(fpath, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ProgramRunner::waitUntil(const std::function<bool()>& condition,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}
