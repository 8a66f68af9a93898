// qk_relay_keys on a fresh install tree: every key and certificate lands where the programs
// look for it, private keys are readable by their owner only, existing files are not
// replaced unless asked, and a tree missing a shared certificate does not start. A client
// machine set up from an exported bundle delivers to the machine of the CA.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <Poco/Crypto/X509Certificate.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ProgramRunner.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKeysInfoError = "Error of initializing of Keys Info.";

// What each program searches at start-up: its own key, certificate and CA in its keys
// directory, and the CA and every program's certificate in the shared keys directory.
const std::vector<std::string> kProgramFiles = {
    "share/orvane/qk_relay_srv/keys/srv.zx.orvane.key",
    "share/orvane/qk_relay_srv/keys/srv.zx.orvane.cert",
    "share/orvane/qk_relay_srv/keys/ca.zx.orvane.pem",
    "share/orvane/qk_relay_cln/keys/cln.zx.orvane.key",
    "share/orvane/qk_relay_cln/keys/cln.zx.orvane.cert",
    "share/orvane/qk_relay_cln/keys/ca.zx.orvane.pem",
    "share/orvane/common/keys/ca.zx.orvane.pem",
    "share/orvane/common/keys/srv.zx.orvane.cert",
    "share/orvane/common/keys/cln.zx.orvane.cert",
    "share/orvane/common/keys/gui.zx.orvane.cert",
};

// Every regular file below share/orvane/ with its content and mode.
struct FileState {
    std::string content;
    unsigned mode;
    bool operator==(const FileState& other) const {
        return content == other.content && mode == other.mode;
    }
};

std::map<std::string, FileState> snapshot(const ProgramRunner& runner) {
    std::map<std::string, FileState> files;
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(runner.path("share/orvane"))) {
        if (!entry.is_regular_file())
            continue;
        struct stat st {};
        ::stat(entry.path().c_str(), &st);
        files[entry.path().string()] = {ProgramRunner::readFile(entry.path()).value_or(""),
                                        static_cast<unsigned>(st.st_mode & 07777)};
    }
    return files;
}

std::vector<std::string> private_keys(const ProgramRunner& runner) {
    std::vector<std::string> keys;
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(runner.path("share/orvane"))) {
        if (entry.is_regular_file() && entry.path().extension() == ".key")
            keys.push_back(entry.path().string());
    }
    return keys;
}

void expect_owner_only(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        struct stat st {};
        ASSERT_EQ(::stat(key.c_str(), &st), 0) << key;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << key;
    }
}

// The server's and the client's certificates come from the CA that both sides trust.
void expect_one_ca(const ProgramRunner& runner) {
    const Poco::Crypto::X509Certificate ca(
        runner.path("share/orvane/common/keys/ca.zx.orvane.pem"));
    for (const char* cert : {"share/orvane/qk_relay_srv/keys/srv.zx.orvane.cert",
                             "share/orvane/qk_relay_cln/keys/cln.zx.orvane.cert",
                             "share/orvane/common/keys/gui.zx.orvane.cert"}) {
        EXPECT_TRUE(Poco::Crypto::X509Certificate(runner.path(cert)).issuedBy(ca)) << cert;
    }
}

TEST(E2eKeysTest, FillsAFreshTreeSoThatTheProgramsStart) {
    ProgramRunner runner;
    // Without keys the programs refuse to start at all (--help alone needs none).
    const ProgramResult before = runner.run("qk_relay_srv", {});
    EXPECT_EQ(before.exit_code, 1) << before.output();
    EXPECT_NE(before.err.find(kKeysInfoError), std::string::npos) << before.output();
    EXPECT_NE(before.err.find("Make the keys with qk_relay_keys first (see qk_relay_keys --help)."),
              std::string::npos)
        << before.output();
    EXPECT_EQ(before.out.find(kKeysInfoError), std::string::npos) << before.out;

    const ProgramResult keys = runner.run("qk_relay_keys", {});
    ASSERT_EQ(keys.exit_code, 0) << keys.output();

    for (const std::string& file : kProgramFiles)
        EXPECT_TRUE(fs::is_regular_file(runner.path(file))) << file;
    const std::vector<std::string> keys_written = private_keys(runner);
    EXPECT_GE(keys_written.size(), 3u);  // the CA's, the server's, the client's at least
    expect_owner_only(keys_written);
    expect_one_ca(runner);

    for (const char* program : {"qk_relay_srv", "qk_relay_cln"}) {
        const ProgramResult after = runner.run(program, {"--help"});
        EXPECT_EQ(after.exit_code, 0) << program << ":\n" << after.output();
    }
}

TEST(E2eKeysTest, KeepsExistingFilesUnlessForced) {
    ProgramRunner runner;
    ASSERT_EQ(runner.run("qk_relay_keys", {}).exit_code, 0);
    // A partly damaged set: the refusal must not quietly complete it either.
    const std::string gui_cert = runner.path("share/orvane/common/keys/gui.zx.orvane.cert");
    fs::remove(gui_cert);
    const std::map<std::string, FileState> before = snapshot(runner);

    const ProgramResult refused = runner.run("qk_relay_keys", {});
    EXPECT_NE(refused.exit_code, 0);
    EXPECT_NE(refused.err.find(runner.path("share/orvane/qk_relay_srv/keys/srv.zx.orvane.key")),
              std::string::npos)
        << refused.output();
    EXPECT_TRUE(snapshot(runner) == before) << "a refused run changed the tree";
    EXPECT_FALSE(fs::exists(gui_cert));

    const ProgramResult forced = runner.run("qk_relay_keys", {"--force"});
    ASSERT_EQ(forced.exit_code, 0) << forced.output();
    const std::map<std::string, FileState> after = snapshot(runner);
    for (const std::string& file : kProgramFiles)
        EXPECT_TRUE(fs::is_regular_file(runner.path(file))) << file;
    const std::string srv_key = runner.path("share/orvane/qk_relay_srv/keys/srv.zx.orvane.key");
    EXPECT_NE(after.at(srv_key).content, before.at(srv_key).content) << "the key was not renewed";
    expect_owner_only(private_keys(runner));
    expect_one_ca(runner);
}

TEST(E2eKeysTest, AMissingSharedCertificateStopsEveryProgram) {
    ProgramRunner runner;
    ASSERT_EQ(runner.run("qk_relay_keys", {}).exit_code, 0);
    // The control program's certificate: neither program uses it, both require it.
    fs::remove(runner.path("share/orvane/common/keys/gui.zx.orvane.cert"));

    const std::string dir = runner.scratch("dir");
    const std::vector<std::pair<const char*, std::vector<std::string>>> starts = {
        {"qk_relay_srv", {"--start_server", "--in_dir=" + dir, "--port=5000", "--ssl_port=5001"}},
        {"qk_relay_cln",
         {"--send_files", "--out_dir=" + dir, "--server_address=127.0.0.1", "--server_port=5000"}},
    };
    for (const auto& [program, args] : starts) {
        const ProgramResult result = runner.run(program, args);
        EXPECT_EQ(result.exit_code, 1) << program << ":\n" << result.output();
        EXPECT_NE(result.output().find(kKeysInfoError), std::string::npos) << program << ":\n"
                                                                           << result.output();
        // The error is followed by where the file was looked for, on the console and in the log.
        const std::string where =
            "tried: " + runner.path("share/orvane/common/keys/gui.zx.orvane.cert") + ": missing";
        EXPECT_NE(result.output().find(where), std::string::npos) << result.output();
        const std::string log =
            runner.path(std::string("var/log/orvane/") + program + "/" + program + ".000.log");
        EXPECT_NE(ProgramRunner::readFile(log).value_or("").find(where), std::string::npos) << log;
    }
}

}  // namespace

namespace {

std::string bundle_serial(const std::string& bundle) {
    const std::string text = ProgramRunner::readFile(bundle).value_or("");
    const std::size_t at = text.find("# serial: ");
    return at == std::string::npos ? std::string()
                                   : text.substr(at + 10, text.find('\n', at) - at - 10);
}

TEST(E2eKeysTest, AClientMachineSetUpFromAnExportedBundleDeliversOverTls) {
    using namespace std::chrono_literals;
    ProgramRunner server_tree;  // the machine that holds the CA
    ProgramRunner client_tree;  // a client machine with keys of its own CA
    ASSERT_EQ(server_tree.run("qk_relay_keys", {}).exit_code, 0);
    ASSERT_EQ(client_tree.run("qk_relay_keys", {}).exit_code, 0);
    fs::create_directories(server_tree.scratch(""));
    const std::string bundle_b = server_tree.scratch("b.bundle");
    const std::string bundle_c = server_tree.scratch("c.bundle");

    for (const auto& [bundle, label] :
         {std::pair{bundle_b, "machine-b"}, {bundle_c, "machine-c"}}) {
        const ProgramResult exported = server_tree.run(
            "qk_relay_keys", {"--export_client=" + bundle, std::string("--label=") + label});
        ASSERT_EQ(exported.exit_code, 0) << exported.output();
        struct stat st {};
        ASSERT_EQ(::stat(bundle.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "a bundle holds a private key";
    }
    const std::string serial_b = bundle_serial(bundle_b);
    EXPECT_FALSE(serial_b.empty());
    EXPECT_NE(serial_b, bundle_serial(bundle_c)) << "each machine gets a certificate of its own";
    EXPECT_EQ(
        server_tree.run("qk_relay_keys", {"--export_client=" + bundle_b, "--label=x"}).exit_code,
        73);
    EXPECT_EQ(server_tree.run("qk_relay_keys", {"--export_client=" + bundle_b}).exit_code, 64);
    const ProgramResult list = server_tree.run("qk_relay_keys", {"--list_exports"});
    EXPECT_NE(list.out.find(serial_b + " "), std::string::npos) << list.output();
    EXPECT_NE(list.out.find("machine-c"), std::string::npos) << list.output();

    // A bundle whose client key is another one is refused before anything is written.
    std::string damaged = ProgramRunner::readFile(bundle_b).value_or("");
    const std::string own_key =
        ProgramRunner::readFile(
            client_tree.path("share/orvane/qk_relay_cln/keys/cln.zx.orvane.key"))
            .value_or("");
    const std::size_t key_at = damaged.find("file: cln.zx.orvane.key\n") + 24;
    damaged.replace(key_at, damaged.find("file: ", key_at) - key_at, own_key);
    const std::string damaged_path = server_tree.scratch("damaged.bundle");
    ProgramRunner::writeFile(damaged_path, damaged);
    const std::map<std::string, FileState> before = snapshot(client_tree);
    const ProgramResult refused =
        client_tree.run("qk_relay_keys", {"--import_client=" + damaged_path});
    EXPECT_EQ(refused.exit_code, 65) << refused.output();
    EXPECT_TRUE(snapshot(client_tree) == before) << "a refused bundle changed the tree";

    const std::string gui_cert = client_tree.path("share/orvane/common/keys/gui.zx.orvane.cert");
    const std::string own_gui_cert = ProgramRunner::readFile(gui_cert).value_or("");
    const ProgramResult imported =
        client_tree.run("qk_relay_keys", {"--import_client=" + bundle_b});
    ASSERT_EQ(imported.exit_code, 0) << imported.output();
    expect_owner_only(private_keys(client_tree));
    EXPECT_EQ(
        ProgramRunner::readFile(
            client_tree.path("share/orvane/qk_relay_clnsvc/keys/ca.zx.orvane.pem")),
        ProgramRunner::readFile(server_tree.path("share/orvane/common/keys/ca.zx.orvane.pem")));
    EXPECT_EQ(ProgramRunner::readFile(gui_cert).value_or(""), own_gui_cert)
        << "the machine's own control-program pair must stay together";

    const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
    const std::uint16_t port = ports[0];
    const std::uint16_t ssl_port = ports[1];
    const std::string in_dir = server_tree.scratch("in");
    const std::string out_dir = client_tree.scratch("out");
    ProgramRunner::writeFile(out_dir + "/sub/report.txt", "from machine-b\n");
    std::unique_ptr<RunningProgram> server = server_tree.start(
        "qk_relay_srv", {"--start_server", "--in_dir=" + in_dir, "--port=" + std::to_string(port),
                         "--ssl_port=" + std::to_string(ssl_port)});
    ASSERT_TRUE(ProgramRunner::waitForPort(ssl_port, 10s)) << server->out() << server->err();
    const ProgramResult sent =
        client_tree.run("qk_relay_cln", {"--send_files", "--out_dir=" + out_dir, "--sub_dirs",
                                         "--use_ssl", "--server_address=127.0.0.1",
                                         "--server_port=" + std::to_string(ssl_port)});
    EXPECT_EQ(sent.exit_code, 0) << sent.output();
    EXPECT_EQ(ProgramRunner::readFile(in_dir + "/sub/report.txt").value_or(""), "from machine-b\n");

    // machine-b's key is stolen: revoked by its label, the running receiver refuses it.
    const ProgramResult revoked = server_tree.run("qk_relay_keys", {"--revoke=machine-b"});
    ASSERT_EQ(revoked.exit_code, 0) << revoked.output();
    EXPECT_TRUE(
        fs::is_regular_file(server_tree.path("share/orvane/common/keys/crl.zx.orvane.pem")));
    ProgramRunner::writeFile(out_dir + "/stolen.txt", "from the thief\n");
    const ProgramResult refused_send =
        client_tree.run("qk_relay_cln", {"--send_files", "--out_dir=" + out_dir, "--use_ssl",
                                         "--server_address=127.0.0.1",
                                         "--server_port=" + std::to_string(ssl_port)});
    EXPECT_NE(refused_send.exit_code, 0) << refused_send.output();
    EXPECT_FALSE(fs::exists(in_dir + "/stolen.txt"));
    const std::string srv_log =
        ProgramRunner::readFile(
            server_tree.path("var/log/orvane/qk_relay_srv/qk_relay_srv.000.log"))
            .value_or("");
    EXPECT_NE(srv_log.find("Client certificate refused: serial " + serial_b + ", label machine-b"),
              std::string::npos)
        << srv_log;

    // machine-c by its serial as openssl prints it; again is harmless; an unknown one is not.
    // Every list written is numbered above the one before, also within one second, so that
    // receivers can refuse an older list.
    std::string typed = "serial=" + bundle_serial(bundle_c);
    for (char& c : typed)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<long long> numbers;
    for (const ProgramResult& result :
         {revoked, server_tree.run("qk_relay_keys", {"--revoke=" + typed}),
          server_tree.run("qk_relay_keys", {"--revoke=" + typed})}) {
        EXPECT_EQ(result.exit_code, 0) << result.output();
        const std::size_t at = result.out.find("in the list, number ");
        ASSERT_NE(at, std::string::npos) << result.output();
        numbers.push_back(std::stoll(result.out.substr(at + 20)));
    }
    EXPECT_LT(numbers[0], numbers[1]);
    EXPECT_LT(numbers[1], numbers[2]);
    const ProgramResult unknown = server_tree.run("qk_relay_keys", {"--revoke=machine-z"});
    EXPECT_EQ(unknown.exit_code, 65) << unknown.output();
    const ProgramResult listed = server_tree.run("qk_relay_keys", {"--list_exports"});
    for (const std::string& serial : {serial_b, bundle_serial(bundle_c)}) {
        const std::size_t line = listed.out.find(serial + " ");
        ASSERT_NE(line, std::string::npos) << listed.output();
        const std::string row = listed.out.substr(line, listed.out.find('\n', line) - line);
        EXPECT_EQ(row.find(" - "), std::string::npos) << "not shown revoked: " << row;
    }
    EXPECT_NE(listed.out.find("revoked"), std::string::npos) << listed.output();
    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForExit(10s).has_value());
}

}  // namespace
