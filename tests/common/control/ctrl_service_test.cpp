// Both services' control listeners, spoken to over loopback by the control program's side
// (CtrlPeer, which knows only the byte layout), with the test keys and real configuration
// files.
#include <gtest/gtest.h>

#include <Poco/AutoPtr.h>
#include <Poco/ErrorHandler.h>
#include <Poco/File.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "CtrlPeer.h"
#include "TempDir.h"
#include "TestPki.h"
#include "base/qk_console.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "control/CQKTcpCtrlClnS.h"
#include "control/CQKTcpCtrlSrvS.h"
#include "protocol/qk_exceptions.h"

namespace {

using Bytes = CtrlPeer::Bytes;
using Values = std::vector<std::string>;

const Poco::Timespan kStep(10, 0);

// What left the control connections, as "class: message".
class RecordingErrorHandler : public Poco::ErrorHandler {
public:
    void exception(const Poco::Exception& e) override {
        add(qk_class_name(e) + ": " + e.message());
    }
    void exception(const std::exception& e) override { add(e.what()); }
    void exception() override { add("unknown"); }
    // Waits for the connection's thread: the handler runs after the socket closed.
    std::vector<std::string> taken(std::size_t expected) {
        for (int i = 0; i < 3000 && count() < expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> all;
        all.swap(m_seen);
        return all;
    }

private:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(text);
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.size();
    }
    std::mutex m_mutex;
    std::vector<std::string> m_seen;
};

std::uint16_t free_port() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    return probe.address().port();
}

Poco::Util::AbstractConfiguration& map_view(const char* label) {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    if (configs.find(label).isNull())
        configs.add(new Poco::Util::MapConfiguration, label, 0, true);
    return configs.view(label);
}

std::string n(int value) {
    return std::to_string(value);
}

// The server service: its keys, record layout and configuration keys. Both records hold
// their string fields first, then their integers; Values lists them in that order.
struct Server {
    using Listener = CQKTcpCtrlSrvS;
    using Params = SQKSrvSParams;
    using L = CtrlPeer::Srv;
    static constexpr const char* kConnection = "CQKCtrlSrvSConnection";
    static constexpr const char* kListener = "CQKTcpCtrlSrvS";
    static constexpr std::size_t kSize = L::kSize;

    static std::string ownKey() { return sharedTestPki().serverKey(); }
    static std::string ownCert() { return sharedTestPki().serverCert(); }
    static std::vector<CtrlPeer::Field> strings() { return {L::kInDir, L::kBackDir}; }
    static std::vector<std::size_t> ints() { return {L::kPort, L::kSslPort}; }
    static std::vector<std::string> keys() { return {"in_dir", "back_dir", "port", "ssl_port"}; }
    static std::vector<std::size_t> padding() { return {90, 91, 618, 619}; }
    static std::string confC(std::uint16_t port) {
        return "<config><control_code>1</control_code><in_dir>/srv/in</in_dir>"
               "<back_dir>/srv/back</back_dir><port>5000</port><ssl_port>5001</ssl_port>"
               "<control_port>" +
               n(port) + "</control_port><kept>yes</kept></config>";
    }
    static Values of(const Params& p) {
        return {p.m_in_dir, p.m_back_dir, n(p.m_port), n(p.m_ssl_port)};
    }
    static void set(Params& p, const Values& v) {
        p.m_in_dir = v[0];
        p.m_back_dir = v[1];
    }
    static Values fresh(const std::string& root) {
        return {root + "/in", root + "/back", "6000", "6001"};
    }
    // Values the service takes though they look odd: text beyond ASCII, the highest port.
    static Values odd(const std::string& root) {
        return {root + "/d\xC3\xB6rt", root + "/" + std::string(200, 'b'), "65535", "1"};
    }
    // Values the service refuses: a directory that cannot be made (below a file), ports out
    // of range, a port equal to another one of the service (control is the control port).
    // root holds the configuration file common.xml.
    static std::vector<Values> refused(const std::string& root, std::uint16_t control) {
        const std::string in = root + "/new/in";
        return {{root + "/common.xml/in", "", "6000", "6001"},
                {in, "", "0", "6001"},
                {in, "", "70000", "6001"},
                {in, "", "6000", "-1"},
                {in, "", "6000", "6000"},
                {in, "", n(control), "6001"},
                {in, "", "6000", n(control)}};
    }
};

struct Client {
    using Listener = CQKTcpCtrlClnS;
    using Params = SQKClnSParams;
    using L = CtrlPeer::Cln;
    static constexpr const char* kConnection = "CQKCtrlClnSConnection";
    static constexpr const char* kListener = "CQKTcpCtrlClnS";
    static constexpr std::size_t kSize = L::kSize;

    static std::string ownKey() { return sharedTestPki().clientKey(); }
    static std::string ownCert() { return sharedTestPki().clientCert(); }
    static std::vector<CtrlPeer::Field> strings() {
        return {L::kOutDir, L::kBackDir, L::kFilePath, L::kSrvAddress};
    }
    static std::vector<std::size_t> ints() { return {L::kSrvPort, L::kUseSsl, L::kSubDirs}; }
    static std::vector<std::string> keys() {
        return {"out_dir",     "back_dir", "file",    "server_address",
                "server_port", "use_ssl",  "sub_dirs"};
    }
    static std::vector<std::size_t> padding() { return {90, 91}; }
    static std::string confC(std::uint16_t port) {
        return "<config><control_code>1</control_code><op_code>1</op_code>"
               "<out_dir>/cln/out</out_dir><back_dir>/cln/back</back_dir><file></file>"
               "<server_address>10.0.0.1</server_address><server_port>5001</server_port>"
               "<use_ssl>true</use_ssl><sub_dirs>false</sub_dirs><scan_time>2000</scan_time>"
               "<control_port>" +
               n(port) + "</control_port><kept>yes</kept></config>";
    }
    static Values of(const Params& p) {
        return {p.m_out_dir,     p.m_back_dir,   p.m_file_path,  p.m_srv_address,
                n(p.m_srv_port), n(p.m_use_ssl), n(p.m_sub_dirs)};
    }
    static void set(Params& p, const Values& v) {
        p.m_out_dir = v[0];
        p.m_back_dir = v[1];
        p.m_file_path = v[2];
        p.m_srv_address = v[3];
    }
    static Values fresh(const std::string& root) {
        return {
            root + "/out", root + "/back", root + "/one.txt", "host.example.org", "7000", "0", "1"};
    }
    static Values odd(const std::string& root) {
        return {root + "/\xC3\xB6", "", std::string(260, 'f'), "10.0.0.255", "65535", "1", "1"};
    }
    static std::vector<Values> refused(const std::string& root, std::uint16_t) {
        const std::string out = root + "/new/out";
        return {{root + "/common.xml/out", "", "", "10.0.0.1", "7000", "0", "0"},
                {"", "", "", "10.0.0.1", "7000", "0", "0"},
                {out, "", "", "not an address!", "7000", "0", "0"},
                {out, "", "", std::string(128, 'a'), "7000", "0", "0"},
                {out, "", "", "10.0.0.1", "0", "0", "0"},
                {out, "", "", "10.0.0.1", "70000", "0", "0"}};
    }
};

template <class Case>
Values values_of(const Bytes& record) {
    Values values;
    for (const CtrlPeer::Field& field : Case::strings())
        values.push_back(CtrlPeer::getString(record, field));
    for (std::size_t offset : Case::ints())
        values.push_back(n(CtrlPeer::getInt(record, offset)));
    return values;
}

template <class Case>
Bytes record_of(const Values& values) {
    Bytes record(Case::kSize);
    std::size_t i = 0;
    for (const CtrlPeer::Field& field : Case::strings())
        CtrlPeer::putString(record, field, values[i++]);
    for (std::size_t offset : Case::ints())
        CtrlPeer::putInt(record, offset, std::stoi(values[i++]));
    return record;
}

// The values as the configuration file holds them (flags as booleans).
template <class Case>
Values values_in_file(const std::string& path) {
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf(new Poco::Util::XMLConfiguration(path));
    Values values;
    for (const std::string& key : Case::keys()) {
        const std::string raw = conf->getString(key);
        values.push_back(raw == "true" ? "1" : raw == "false" ? "0" : raw);
    }
    return values;
}

template <class Case>
class CtrlServiceTest : public ::testing::Test {
protected:
    using Params = typename Case::Params;

    void SetUp() override {
        const TestPki& pki = sharedTestPki();
        m_port = free_port();
        m_root.writeFile("common.xml", Case::confC(m_port));
        m_root.writeFile("own.xml", "<config><own>1</own></config>");
        map_view("appl").setString("appl_conf_c_fpath", m_root / "common.xml");
        map_view("appl").setString("appl_conf_p_fpath", m_root / "own.xml");
        Poco::Util::AbstractConfiguration& keys = map_view("ssl_keys");
        keys.setString("ssl_keys_key_fpath", Case::ownKey());
        keys.setString("ssl_keys_cert_fpath", Case::ownCert());
        keys.setString("ssl_keys_ca_cert_fpath", pki.caCert());
        keys.setString("ssl_common_ca_cert_fpath", pki.caCert());
        keys.setString("ssl_common_srv_cert_fpath", pki.serverCert());
        keys.setString("ssl_common_cln_cert_fpath", pki.clientCert());
        keys.setString("ssl_common_gui_cert_fpath", pki.guiCert());
        CQKBaseConfigs& configs = CQKBaseConfigs::instance();
        configs.readConfC();
        configs.readConfP();
        {
            Poco::Mutex::ScopedLock lock(configs.configLock());
            m_params.readParams();
        }
        qk_set_console_echo(false);
        m_previous_handler = Poco::ErrorHandler::set(&m_errors);
        Poco::File(m_root / "log").createDirectories();
        ASSERT_TRUE(init_log(LOG_MODE_DEFAULT, m_root / "log", "ctrl", "log", LOG_LEVEL_TRACE,
                             LOG_LEVEL_FATAL, 1 << 26, 2));
        m_listener.setParams(&m_params);
        m_listener.setStepTimeout(kStep);
        m_listener.start();
    }
    void TearDown() override {
        m_listener.stop();
        if (m_previous_handler != nullptr)
            Poco::ErrorHandler::set(m_previous_handler);
        close_log();
    }

    Values params() {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        return Case::of(m_params);
    }
    Values file() { return values_in_file<Case>(m_root / "common.xml"); }
    Values fresh() const { return Case::fresh(m_root / "new"); }
    Bytes signedByGui(const Values& values) {
        Bytes r = record_of<Case>(values);
        CtrlPeer::sign(r, sharedTestPki().guiCert(), sharedTestPki().guiKey());
        return r;
    }
    // True when the log holds lines ending in these "(tag) message" texts, in this order.
    bool logged(const std::vector<std::string>& expected) {
        std::ifstream in(m_root / "log/ctrl.000.log");
        std::size_t next = 0;
        for (std::string line; next < expected.size() && std::getline(in, line);) {
            if (line.find(expected[next]) != std::string::npos)
                ++next;
        }
        return next == expected.size();
    }
    std::string run(const char* text) const {
        return std::string("(") + Case::kConnection + "::run()) " + text;
    }

    TempDir m_root;
    std::uint16_t m_port = 0;
    Params m_params;
    typename Case::Listener m_listener;
    RecordingErrorHandler m_errors;
    Poco::ErrorHandler* m_previous_handler = nullptr;
};

using Cases = ::testing::Types<Server, Client>;
TYPED_TEST_SUITE(CtrlServiceTest, Cases);

TYPED_TEST(CtrlServiceTest, ReadHandsOutTheConfiguredValuesSignedByTheService) {
    for (std::uint8_t verdict : {0x00, 0x7F}) {
        CtrlPeer peer(this->m_port);
        int final_status = 0;
        const Bytes record = peer.read(TypeParam::kSize, verdict, &final_status);
        ASSERT_EQ(record.size(), TypeParam::kSize);
        EXPECT_EQ(final_status, verdict);
        EXPECT_TRUE(peer.raw().closedByPeer());
        EXPECT_TRUE(CtrlPeer::verify(record, TypeParam::ownCert()));
        EXPECT_FALSE(CtrlPeer::verify(record, sharedTestPki().guiCert()));
        EXPECT_EQ(values_of<TypeParam>(record), this->params());
    }
    EXPECT_TRUE(this->m_errors.taken(0).empty());
    const std::string sign = std::string("(") + TypeParam::kConnection + "::doSignCtrl()) ";
    EXPECT_TRUE(this->logged(
        {this->run("Start run()..."), this->run("Connection Thread Started: address = 127.0.0.1:"),
         this->run("sendStatus: ------- >>"), this->run("sendStatus: ------- <<"),
         this->run("receiveCode: ------- >>"), this->run("receiveCode: ------- <<"),
         sign + "doSignCtrl(): Start of Signing...",
         sign + "Signing of SQKClnSCtrl has been provided. Size of the signature: ",
         sign + "doSignCtrl(): End of Signing...", this->run("receiveStatus: ------- >>"),
         this->run("receiveStatus: ------- <<"), this->run("sendStatus: ------- >>"),
         this->run("sendStatus: ------- <<"), this->run("Connection Thread Finished: address = "),
         this->run("End run()...")}));
}

TYPED_TEST(CtrlServiceTest, ApplySignedByTheControlProgramChangesParametersAndFile) {
    const std::string own_file = this->m_root.readFile("own.xml");
    Bytes record = this->signedByGui(this->fresh());
    // The padding is not signed: a peer's garbage there changes nothing.
    for (std::size_t offset : TypeParam::padding())
        record[offset] = 0xA5;
    CtrlPeer peer(this->m_port);
    EXPECT_EQ(peer.apply(record), QK_SEND_FILE_FOK);
    EXPECT_TRUE(peer.raw().closedByPeer());
    EXPECT_EQ(this->params(), this->fresh());
    EXPECT_EQ(this->file(), this->fresh());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf(
        new Poco::Util::XMLConfiguration(this->m_root / "common.xml"));
    EXPECT_EQ(conf->getString("kept"), "yes");
    EXPECT_EQ(conf->getInt("control_port"), this->m_port);
    EXPECT_EQ(this->m_root.readFile("own.xml"), own_file);
    EXPECT_TRUE(this->m_errors.taken(0).empty());
    EXPECT_TRUE(
        this->logged({this->run("sendStatus: ------- <<"), this->run("receiveCode: ------- <<"),
                      this->run("sendStatus: ------- <<"), "doSignCtrl(): Verifying is Finished...",
                      this->run("sendStatus: ------- <<"), this->run("End run()...")}));
}

TYPED_TEST(CtrlServiceTest, RefusedRecordsChangeNothing) {
    const Values before = this->params();
    const std::string file_before = this->m_root.readFile("common.xml");
    const TestPki& pki = sharedTestPki();
    const std::size_t tail = TypeParam::strings()[0].offset + 100;  // after the terminator
    struct Case {
        const char* what;
        Bytes record;
        const char* error;
        int final_status;
    };
    auto with_size = [&](std::int32_t size) {
        Bytes r = this->signedByGui(this->fresh());
        CtrlPeer::putInt(r, CtrlPeer::kSignSize, size);
        return r;
    };
    Bytes foreign = record_of<TypeParam>(this->fresh());
    CtrlPeer::sign(foreign, pki.wrongNameCert(), pki.wrongNameKey());
    Bytes tampered = this->signedByGui(this->fresh());
    tampered[tail] = 'x';
    Bytes unterminated = record_of<TypeParam>(this->fresh());
    const CtrlPeer::Field field = TypeParam::strings()[0];
    std::fill_n(unterminated.begin() + field.offset, field.width, 'u');
    CtrlPeer::sign(unterminated, pki.guiCert(), pki.guiKey());
    // Text an XML file can't hold: a control character, a byte that is not UTF-8.
    Values control = this->fresh(), not_utf8 = this->fresh();
    control[0] = "/a\x01b";
    not_utf8[0] = "/a\xFF";
    const std::string crypto = "Poco::Crypto::CryptoException: ";
    const Case cases[] = {
        {"signed by another key", foreign, "Signature is not valid.", RawClient::kClosed},
        {"string tail changed", tampered, "Signature is not valid.", RawClient::kClosed},
        {"size 0", with_size(0), "Wrong value of the signature.", RawClient::kClosed},
        {"size 91", with_size(91), "Wrong value of the signature.", RawClient::kClosed},
        {"size -1", with_size(-1), "Wrong value of the signature.", RawClient::kClosed},
        {"field without terminator", unterminated, nullptr, QK_SEND_FILE_FERROR},
        {"control character", this->signedByGui(control), nullptr, QK_SEND_FILE_FERROR},
        {"not UTF-8", this->signedByGui(not_utf8), nullptr, QK_SEND_FILE_FERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CtrlPeer peer(this->m_port);
        EXPECT_EQ(peer.apply(c.record), c.final_status);
        const std::vector<std::string> errors = this->m_errors.taken(1);
        ASSERT_EQ(errors.size(), 1u);
        if (c.error != nullptr)
            EXPECT_EQ(errors[0], crypto + c.error);
        else
            EXPECT_EQ(errors[0].rfind("Poco::DataFormatException: ", 0), 0u) << errors[0];
        EXPECT_EQ(this->params(), before);
        EXPECT_EQ(this->m_root.readFile("common.xml"), file_before);
    }
    // Failed exchanges leave nothing behind that a stop would wait for.
    const auto begin = std::chrono::steady_clock::now();
    this->m_listener.stop();
    this->m_listener.start();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    CtrlPeer peer(this->m_port);
    int final_status = 0;
    EXPECT_EQ(peer.read(TypeParam::kSize, 0x00, &final_status).size(), TypeParam::kSize);
}

TYPED_TEST(CtrlServiceTest, OtherRequestsGetOkTwiceAndNothingElse) {
    for (std::uint8_t code : {0x00, 0x07, 0x7F}) {
        CtrlPeer peer(this->m_port);
        ASSERT_EQ(peer.raw().readStatus(), QK_SEND_FILE_FOK);
        peer.raw().send(Bytes{code});
        EXPECT_EQ(peer.raw().readStatus(), QK_SEND_FILE_FOK);
        EXPECT_TRUE(peer.raw().closedByPeer());
    }
    EXPECT_TRUE(this->m_errors.taken(0).empty());
}

TYPED_TEST(CtrlServiceTest, LongValuesArriveCutAndTerminated) {
    Values longer;
    for (const CtrlPeer::Field& field : TypeParam::strings())
        longer.push_back(std::string(field.width + 40, 'v'));
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        TypeParam::set(this->m_params, longer);
    }
    CtrlPeer peer(this->m_port);
    int final_status = 0;
    const Bytes record = peer.read(TypeParam::kSize, 0x00, &final_status);
    ASSERT_EQ(record.size(), TypeParam::kSize);
    const Values got = values_of<TypeParam>(record);
    for (std::size_t i = 0; i < longer.size(); ++i)
        EXPECT_EQ(got[i], longer[i].substr(0, TypeParam::strings()[i].width - 1));
    EXPECT_TRUE(CtrlPeer::verify(record, TypeParam::ownCert()));
}

TYPED_TEST(CtrlServiceTest, PeerNotAtLoopbackAddressGetsNoByte) {
    CtrlPeer foreign(this->m_port, "127.0.0.2");
    EXPECT_TRUE(foreign.raw().readBytes(1).empty());
    EXPECT_TRUE(foreign.raw().closedByPeer());
    EXPECT_TRUE(this->m_errors.taken(0).empty());
    EXPECT_TRUE(this->logged(
        {this->run("Error. Wrong input host: 127.0.0.2. Connection will be closed.")}));
    int final_status = 0;
    CtrlPeer local(this->m_port);
    EXPECT_EQ(local.read(TypeParam::kSize, 0x00, &final_status).size(), TypeParam::kSize);
}

// A peer that is greeted and sends nothing keeps no other exchange waiting, and is let go
// once the request time (2 s by default) has passed.
TYPED_TEST(CtrlServiceTest, AnIdlePeerHoldsUpNoOtherExchangeAndIsDropped) {
    RawClient idle(this->m_port);
    ASSERT_EQ(idle.readStatus(), QK_SEND_FILE_FOK);
    const auto begin = std::chrono::steady_clock::now();
    CtrlPeer peer(this->m_port);
    EXPECT_EQ(peer.apply(this->signedByGui(this->fresh())), QK_SEND_FILE_FOK);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_EQ(this->params(), this->fresh());

    EXPECT_EQ(idle.readStatus(), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(idle.closedByPeer());
    EXPECT_EQ(this->m_errors.taken(1),
              std::vector<std::string>{
                  "SockWriteStatusException: No request from the control program in time..."});
}

// Peers that send their request and then go silent (one after the record it asked for, one
// after the greeting of an apply, one halfway through its record) hold their threads for the
// exchange time (5 s), not for the step time limit: with all four threads held, a real
// exchange that waits in the queue is served soon after.
TYPED_TEST(CtrlServiceTest, SilentPeersHoldTheirThreadsNoLongerThanTheExchangeTime) {
    this->m_listener.stop();
    this->m_listener.setStepTimeout(Poco::Timespan(30, 0));
    this->m_listener.start();
    const Bytes record = this->signedByGui(this->fresh());
    std::vector<std::unique_ptr<CtrlPeer>> silent;
    for (int i = 0; i < 4; ++i) {
        silent.push_back(std::make_unique<CtrlPeer>(this->m_port));
        RawClient& raw = silent.back()->raw();
        ASSERT_EQ(raw.readStatus(), QK_SEND_FILE_FOK);
        if (i < 2) {
            raw.send(Bytes{QK_FILE_SEND_READ_CONFIG});
            ASSERT_EQ(raw.readBytes(TypeParam::kSize).size(), TypeParam::kSize);
        } else {
            raw.send(Bytes{QK_FILE_SEND_APPLY_CONFIG});
            ASSERT_EQ(raw.readStatus(), QK_SEND_FILE_FOK);
            if (i == 3)
                raw.send(Bytes(record.begin(), record.begin() + 100));
        }
    }
    CtrlPeer real(this->m_port);
    ASSERT_EQ(real.raw().readStatus(Poco::Timespan(20, 0)), QK_SEND_FILE_FOK);
    real.raw().send(Bytes{QK_FILE_SEND_APPLY_CONFIG});
    ASSERT_EQ(real.raw().readStatus(), QK_SEND_FILE_FOK);
    real.raw().send(record);
    EXPECT_EQ(real.raw().readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(this->params(), this->fresh());
    for (const auto& peer : silent) {
        EXPECT_EQ(peer->raw().readStatus(), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(peer->raw().closedByPeer());
    }
    EXPECT_EQ(this->m_errors.taken(4),
              std::vector<std::string>(
                  4, "SockWriteStatusException: The control exchange took too long"));
}

// A stop ends at once the exchanges that wait for their peers, before the request and in the
// middle of one, however long their time limits.
TYPED_TEST(CtrlServiceTest, StopEndsTheExchangesThatWaitForTheirPeers) {
    this->m_listener.stop();
    this->m_listener.setStepTimeout(Poco::Timespan(30, 0));
    this->m_listener.setRequestTimeout(Poco::Timespan(30, 0));
    this->m_listener.start();
    CtrlPeer silent(this->m_port);
    ASSERT_EQ(silent.raw().readStatus(), QK_SEND_FILE_FOK);  // now waiting for the request
    CtrlPeer halfway(this->m_port);
    ASSERT_EQ(halfway.raw().readStatus(), QK_SEND_FILE_FOK);
    halfway.raw().send(Bytes{QK_FILE_SEND_APPLY_CONFIG});
    ASSERT_EQ(halfway.raw().readStatus(), QK_SEND_FILE_FOK);  // now waiting for the record
    const auto begin = std::chrono::steady_clock::now();
    this->m_listener.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_FALSE(this->m_listener.isStarted());
    EXPECT_EQ(this->m_listener.connectionCount(), 0u);
    for (CtrlPeer* peer : {&silent, &halfway}) {
        EXPECT_EQ(peer->raw().readStatus(), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(peer->raw().closedByPeer());
    }
    EXPECT_EQ(
        this->m_errors.taken(2),
        (std::vector<std::string>(2, "SockWriteStatusException: The control listener stops")));
}

TYPED_TEST(CtrlServiceTest, StartsOncePerPortAndRestartsOnTheSamePort) {
    try {
        this->m_listener.start();
        FAIL() << "a second start returned";
    } catch (const Poco::Exception& e) {
        EXPECT_EQ(e.message(), "TCP server already has been created...");
    }
    typename TypeParam::Listener second(&this->m_params);
    EXPECT_THROW(second.start(), Poco::Net::NetException);  // the port is in use
    second.stop();                                          // returns at once: nothing runs
    EXPECT_FALSE(second.isStarted());

    EXPECT_FALSE(this->m_listener.isRestartNeeded());
    int final_status = 0;
    {
        CtrlPeer peer(this->m_port);
        ASSERT_EQ(peer.read(TypeParam::kSize, 0x00, &final_status).size(), TypeParam::kSize);
    }
    this->m_listener.stop();
    this->m_listener.start();
    CtrlPeer peer(this->m_port);
    EXPECT_EQ(peer.read(TypeParam::kSize, 0x00, &final_status).size(), TypeParam::kSize);

    for (int port : {0, this->m_port + 1}) {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        this->m_params.m_control_port = port;
        EXPECT_TRUE(this->m_listener.isRestartNeeded()) << port;
    }
}

// An applied record passes the checks the service makes of its file before anything is
// stored: a refused one gets 0x7F and changes neither the parameters nor the file.
TYPED_TEST(CtrlServiceTest, AppliesOnlyValuesTheServiceAccepts) {
    const Values before = this->params();
    const std::string file_before = this->m_root.readFile("common.xml");
    for (const Values& values : TypeParam::refused(this->m_root.path(), this->m_port)) {
        SCOPED_TRACE(values[0] + " " + values[TypeParam::strings().size()]);
        CtrlPeer peer(this->m_port);
        EXPECT_EQ(peer.apply(this->signedByGui(values)), QK_SEND_FILE_FERROR);
        EXPECT_EQ(this->m_errors.taken(1).size(), 1u);
        EXPECT_EQ(this->params(), before);
        EXPECT_EQ(this->m_root.readFile("common.xml"), file_before);
    }
    const Values odd = TypeParam::odd(this->m_root / "new");
    CtrlPeer peer(this->m_port);
    EXPECT_EQ(peer.apply(this->signedByGui(odd)), QK_SEND_FILE_FOK);
    EXPECT_EQ(this->params(), odd);
    EXPECT_EQ(this->file(), odd);
}

// A record is read until it is whole, however the network splits it.
TYPED_TEST(CtrlServiceTest, ApplyTakesARecordThatArrivesInTwoSegments) {
    const Bytes record = this->signedByGui(this->fresh());
    CtrlPeer peer(this->m_port);
    ASSERT_EQ(peer.raw().readStatus(), QK_SEND_FILE_FOK);
    peer.raw().send(Bytes{QK_FILE_SEND_APPLY_CONFIG});
    ASSERT_EQ(peer.raw().readStatus(), QK_SEND_FILE_FOK);
    const auto half = record.begin() + static_cast<std::ptrdiff_t>(record.size() / 2);
    peer.raw().send(Bytes(record.begin(), half));
    // Gives the service the time to read the first part on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.raw().send(Bytes(half, record.end()));
    EXPECT_EQ(peer.raw().readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(this->params(), this->fresh());
}

// Four exchanges run and four wait; whoever comes meanwhile is refused, and the log says so.
TYPED_TEST(CtrlServiceTest, RefusedConnectionsAreLogged) {
    std::vector<std::unique_ptr<RawClient>> peers;
    for (int i = 0; i < 50; ++i)
        peers.push_back(std::make_unique<RawClient>(this->m_port));
    int refused = 0;
    for (const auto& peer : peers) {
        if (peer->readStatus() == RawClient::kClosed)
            ++refused;
        peer->close();
    }
    ASSERT_GT(refused, 0);
    EXPECT_TRUE(this->logged({std::string("(") + TypeParam::kListener +
                              "::accept()) Connection refused: every exchange place is taken. "
                              "Refused since the last line: "}));
}

}  // namespace
