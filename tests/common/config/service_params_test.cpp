// The services' parameter records: defaults, the checks in their order and texts, and the
// round trip through the configuration views.
#include <gtest/gtest.h>

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <functional>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "base/qk_host_address.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/SQKClnSParams.h"
#include "config/SQKSrvSParams.h"
#include "config/qk_service_params.h"

namespace {

const char* const kKeyNames[] = {"ssl_keys_key_fpath",        "ssl_keys_cert_fpath",
                                 "ssl_keys_ca_cert_fpath",    "ssl_common_ca_cert_fpath",
                                 "ssl_common_srv_cert_fpath", "ssl_common_cln_cert_fpath",
                                 "ssl_common_gui_cert_fpath"};

void remove_view(const char* label) {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Util::AbstractConfiguration::Ptr found = configs.find(label);
    if (!found.isNull())
        configs.removeConfiguration(found);
}

// Installs "conf_c" from an XML text and "ssl_keys" with "/keys/<key>" for every key.
void use_views(const std::string& conf_xml) {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    remove_view("conf_c");
    remove_view("ssl_keys");
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf(new Poco::Util::XMLConfiguration);
    std::istringstream in(conf_xml);
    conf->load(in);
    configs.add(conf, "conf_c", 0, true);
    Poco::AutoPtr<Poco::Util::MapConfiguration> keys(new Poco::Util::MapConfiguration);
    for (const char* key : kKeyNames)
        keys->setString(key, std::string("/keys/") + key);
    configs.add(keys, "ssl_keys", 0, true);
}

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const Poco::Exception& e) {
        return e.message();
    }
    return "";
}

// The values that travel through the configuration, for comparing whole records.
auto server_fields(const SQKSrvSParams& p) {
    return std::make_tuple(p.m_control_code, p.m_in_dir, p.m_back_dir, p.m_port, p.m_ssl_port,
                           p.m_control_port, p.m_key_fpath);
}
auto client_fields(const SQKClnSParams& p) {
    return std::make_tuple(p.m_control_code, p.m_op_code, p.m_out_dir, p.m_back_dir, p.m_file_path,
                           p.m_srv_address, p.m_srv_port, p.m_use_ssl, p.m_sub_dirs,
                           p.m_delay_sleep, p.m_control_port, p.m_min_age);
}

class ServiceParamsTest : public ::testing::Test {
protected:
    SQKSrvSParams validServer() const {
        SQKSrvSParams params;
        params.m_control_code = 1;
        params.m_in_dir = tmp / "in";
        params.m_port = 5000;
        params.m_ssl_port = 5001;
        return params;
    }
    // The keys a server file needs, for tests of the keys of the file alone.
    std::string serverXml() const {
        return "<in_dir>" + tmp / "in" +
               "</in_dir><back_dir/><port>5000</port><ssl_port>5001</ssl_port><control_port>"
               "5002</control_port>";
    }
    // The keys a client file needs, for tests of the keys of the file alone.
    std::string clientXml() const {
        return "<out_dir>" + tmp / "out" +
               "</out_dir><back_dir/><file/><server_address>127.0.0.1</server_address>"
               "<server_port>5001</server_port><sub_dirs>true</sub_dirs><control_port>0"
               "</control_port>";
    }
    SQKClnSParams validClient() const {
        SQKClnSParams params;
        params.m_control_code = 1;
        params.m_op_code = 1;
        params.m_out_dir = tmp / "out";
        params.m_srv_address = "127.0.0.1";
        params.m_srv_port = 5001;
        return params;
    }

    TempDir tmp;
};

TEST_F(ServiceParamsTest, ServerReadsDefaultsAndANonNumericControlPort) {
    use_views(
        "<config><in_dir>/in</in_dir><back_dir/><port>5000</port><ssl_port>5001</ssl_port>"
        "<control_port>none</control_port></config>");
    SQKSrvSParams params;
    params.readParams();
    EXPECT_EQ(server_fields(params),
              std::make_tuple(1, "/in", "", 5000, 5001, 0, "/keys/ssl_keys_key_fpath"));
    EXPECT_EQ(params.m_common_gui_cert_fpath, "/keys/ssl_common_gui_cert_fpath");

    use_views("<config><in_dir>/in</in_dir><back_dir/><port>5000</port></config>");
    EXPECT_THROW(params.readParams(), Poco::NotFoundException);
    remove_view("conf_c");
    EXPECT_THROW(params.readParams(), Poco::NullPointerException);
    EXPECT_THROW(SQKClnSParams().readParams(), Poco::NullPointerException);
}

TEST_F(ServiceParamsTest, ServerChecksCodeAndPortsWithTheirTexts) {
    struct Case {
        std::int32_t control_code, port, ssl_port, control_port;
        const char* message;
    };
    const Case cases[] = {
        {1, 1, 65535, 0, ""},
        {1, 5000, 5001, 65535, ""},
        {2, 5000, 5001, 0, "Error of checking of params: Unknown value of  'control_code'"},
        {1, 5000, 5001, 65536, "Wrong value of control port number:65536"},
        {1, 5000, 5001, -1, "Wrong value of control port number:4294967295"},
        {1, 0, 5001, 0, "Wrong value of port number:0"},
        {1, 65536, 5001, 0, "Wrong value of port number:65536"},
        {1, 5000, -1, 0, "Wrong value of ssl port number:4294967295"},
        {1, 5000, 5000, 0,
         "Wrong values of port number:5000 and ssl port number:5000. They shouldn't be equal."},
    };
    for (const Case& c : cases) {
        SQKSrvSParams params = validServer();
        params.m_control_code = c.control_code;
        params.m_port = c.port;
        params.m_ssl_port = c.ssl_port;
        params.m_control_port = c.control_port;
        EXPECT_EQ(message_of([&] { params.checkParams(); }), c.message)
            << c.port << " " << c.ssl_port << " " << c.control_port;
    }
}

TEST_F(ServiceParamsTest, ServerCreatesItsDirectoriesAndRefusesAFile) {
    SQKSrvSParams params = validServer();
    params.m_in_dir = tmp / "a/b/in";
    params.m_back_dir = tmp / "c/back";
    params.checkParams();
    EXPECT_TRUE(Poco::File(params.m_in_dir).isDirectory());
    EXPECT_TRUE(Poco::File(params.m_back_dir).isDirectory());

    tmp.writeFile("file", "x");
    params.m_in_dir = "";
    EXPECT_EQ(message_of([&] { params.checkParams(); }), "In directory: not defined...");
    params.m_in_dir = tmp / "file";
    EXPECT_EQ(message_of([&] { params.checkParams(); }),
              "In directory:" + tmp / "file" + " is not a directory...");
    params.m_in_dir = tmp / "in";
    params.m_back_dir = tmp / "file/back";
    EXPECT_EQ(message_of([&] { params.checkParams(); }),
              "Backup directory: " + tmp / "file/back" + " not exists...");
}

TEST_F(ServiceParamsTest, ClientReadsDefaultsAndRaisesTheScanPeriod) {
    use_views(
        "<config><out_dir>/out</out_dir><back_dir/><file/><server_address>relay.example.org"
        "</server_address><server_port>5001</server_port><sub_dirs>true</sub_dirs>"
        "<control_port>x</control_port></config>");
    SQKClnSParams params;
    params.readParams();
    EXPECT_EQ(client_fields(params),
              std::make_tuple(1, 1, "/out", "", "", "relay.example.org", 5001, 0, 1, 1000, 0, 0));

    params = validClient();
    params.m_delay_sleep = 0;
    params.checkParams();
    EXPECT_EQ(params.m_delay_sleep, 1000);
}

TEST_F(ServiceParamsTest, ClientChecksInOrderWithTheirTexts) {
    auto check = [this](const std::function<void(SQKClnSParams&)>& change) {
        SQKClnSParams params = validClient();
        change(params);
        return message_of([&] { params.checkParams(); });
    };
    EXPECT_EQ(check([](auto& p) {
                  p.m_control_code = 2;
                  p.m_srv_address = "";
                  p.m_out_dir = "";
              }),
              "");  // stopped: nothing else is checked
    EXPECT_EQ(check([](auto& p) { p.m_control_code = 0; }),
              "Error of checking of params: Unknown value of  'control_code'");
    EXPECT_EQ(check([](auto& p) { p.m_op_code = 2; }),
              "Error of checking of params: Unknown value of 'op_code'");
    EXPECT_EQ(check([](auto& p) { p.m_out_dir = ""; }),
              "Configuration values 'out_dir' and 'file' are not defined.");
    EXPECT_EQ(check([](auto& p) {
                  p.m_out_dir = "";
                  p.m_file_path = "/not/checked";
              }),
              "");
    EXPECT_EQ(check([](auto& p) { p.m_control_port = -1; }),
              "Wrong value of control port number:4294967295");
    EXPECT_EQ(check([](auto& p) { p.m_srv_port = 0; }), "Wrong value of port number: 0");
    EXPECT_EQ(check([](auto& p) { p.m_srv_port = 65536; }), "Wrong value of port number: 65536");
    EXPECT_EQ(check([](auto& p) { p.m_srv_port = p.m_control_port = 65535; }), "");
    EXPECT_EQ(check([&](auto& p) { p.m_srv_address = "256.1.1.1"; }),
              std::string("Wrong value of server address: 256.1.1.1. ") + QK_SERVER_ADDRESS_RULE);
    for (const char* address : {"server", "relay.example.org.", "::1"})
        EXPECT_EQ(check([&](auto& p) { p.m_srv_address = address; }), "") << address;
    EXPECT_EQ(check([](auto& p) { p.m_min_age = -1; }),
              "Wrong value of min_age: -1. It must be 0 or more milliseconds.");
    EXPECT_TRUE(Poco::File(tmp / "out").isDirectory());
}

TEST_F(ServiceParamsTest, WriteParamsRoundTripsAndKeepsThePeersCertificates) {
    use_views("<config/>");
    SQKSrvSParams server = validServer();
    server.m_back_dir = "/back";
    server.m_control_port = 7000;
    server.m_key_fpath = "/new/srv.key";
    server.m_common_gui_cert_fpath = "/new/gui.cert";
    server.writeParams();
    SQKSrvSParams server_read;
    server_read.readParams();
    EXPECT_EQ(server_fields(server_read), server_fields(server));

    SQKClnSParams client = validClient();
    client.m_file_path = "/f";
    client.m_op_code = 3;  // always stored as 1
    client.m_use_ssl = 5;  // any non-zero value means TLS
    client.m_delay_sleep = 2500;
    client.m_min_age = 1500;
    client.m_common_srv_cert_fpath = "/new/srv.cert";
    client.writeParams();

    SQKClnSParams client_read;
    client_read.readParams();
    client.m_op_code = client.m_use_ssl = 1;
    EXPECT_EQ(client_fields(client_read), client_fields(client));
    for (const char* key :
         {"ssl_common_srv_cert_fpath", "ssl_common_cln_cert_fpath", "ssl_common_gui_cert_fpath"}) {
        EXPECT_EQ(CQKBaseConfigs::instance().view("ssl_keys").getString(key),
                  std::string("/keys/") + key);
    }
}

// "metrics_port" is a key of the file alone: absent it is 0, it is checked against every
// other port of its file, a refused value is never in force, and a write keeps the file's.
TEST_F(ServiceParamsTest, MetricsPortIsCheckedNeverInForceWhenRefusedAndKeptByAWrite) {
    const std::string server_xml = serverXml();
    use_views("<config>" + server_xml + "</config>");
    SQKSrvSParams server;
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_metrics_port, 0);
    use_views("<config>" + server_xml + "<metrics_port>5604</metrics_port></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_metrics_port, 5604);

    const std::pair<const char*, const char*> refused[] = {
        {"70000", "Wrong value of metrics port number:70000. It must be 0 (none) or 1..65535."},
        {"-1", "Wrong value of metrics port number:4294967295. It must be 0 (none) or 1..65535."},
        {"5001",
         "Wrong values of metrics port number:5001 and ssl port number:5001. They "
         "shouldn't be equal."},
        {"5002",
         "Wrong values of metrics port number:5002 and control port number:5002. They "
         "shouldn't be equal."},
    };
    for (const auto& [value, text] : refused) {
        use_views("<config>" + server_xml + "<metrics_port>" + value + "</metrics_port></config>");
        const std::exception_ptr refusal = qk_take_checked_params(server);
        ASSERT_NE(refusal, nullptr) << value;
        EXPECT_EQ(message_of([&] { std::rethrow_exception(refusal); }), text);
        EXPECT_EQ(server.m_metrics_port, 5604) << "the value in force stays";
    }
    use_views("<config>" + server_xml + "<metrics_port>5604</metrics_port></config>");
    server.m_metrics_port = 6000;
    server.writeParams();
    EXPECT_EQ(CQKBaseConfigs::instance().view("conf_c").getInt("metrics_port"), 5604);

    // Checked also while the client service's scanner is stopped: the endpoint runs anyway.
    SQKClnSParams client = validClient();
    client.m_control_code = 2;
    client.m_control_port = 5603;
    client.m_metrics_port = 5603;
    EXPECT_EQ(message_of([&] { client.checkParams(); }),
              "Wrong values of metrics port number:5603 and control port number:5603. They "
              "shouldn't be equal.");
    client.m_metrics_port = 5605;
    EXPECT_EQ(message_of([&] { client.checkParams(); }), "");
}

// "streams" is a key of the file alone: absent it is 1, a value outside 1..16 (or not a
// number) refuses the whole file and leaves the value in force, and a write keeps the key.
TEST_F(ServiceParamsTest, StreamsIsRefusedOutsideOneToSixteenAndKeptByAWrite) {
    const std::string client_xml = clientXml();
    auto use_streams = [&](const std::string& value) {
        use_views("<config>" + client_xml + "<streams>" + value + "</streams></config>");
    };
    use_views("<config>" + client_xml + "</config>");
    SQKClnSParams client;
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_streams, 1);
    use_streams("16");
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_streams, 16);

    for (const char* value : {"0", "17", "three"}) {
        use_streams(value);
        const std::exception_ptr refusal = qk_take_checked_params(client);
        ASSERT_NE(refusal, nullptr) << value;
        EXPECT_EQ(client.m_streams, 16) << "the value in force stays";
    }
    use_streams("17");
    EXPECT_EQ(message_of([&] { std::rethrow_exception(qk_take_checked_params(client)); }),
              "Wrong value of streams: 17. It must be 1 to 16.");
    use_streams("3");
    client.m_streams = 5;
    client.writeParams();
    EXPECT_EQ(CQKBaseConfigs::instance().view("conf_c").getInt("streams"), 3);
}

// "keep_alive" likewise: absent it is 60 seconds, 0 to 600 is taken, anything else refuses
// the file and leaves the value in force.
TEST_F(ServiceParamsTest, KeepAliveIsRefusedOutsideZeroToSixHundred) {
    const std::string client_xml = clientXml();
    use_views("<config>" + client_xml + "</config>");
    SQKClnSParams client;
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_keep_alive, 60);
    use_views("<config>" + client_xml + "<keep_alive>0</keep_alive></config>");
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_keep_alive, 0);
    for (const char* value : {"-1", "601", "soon"}) {
        use_views("<config>" + client_xml + "<keep_alive>" + value + "</keep_alive></config>");
        EXPECT_NE(qk_take_checked_params(client), nullptr) << value;
        EXPECT_EQ(client.m_keep_alive, 0) << "the value in force stays";
    }
}

// "resume_min_size", "partial_hours", "partial_max" and "resume_plain" are keys of the
// server's file alone, with defaults; a malformed or out-of-range value refuses the file and
// leaves the values in force.
TEST_F(ServiceParamsTest, ResumeKeysHaveDefaultsAndAreRefusedWhenMalformed) {
    const std::string server_xml = serverXml();
    use_views("<config>" + server_xml + "</config>");
    SQKSrvSParams server;
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_resume_min_size, 64u << 20);
    EXPECT_EQ(server.m_partial_hours, 24);
    EXPECT_EQ(server.m_partial_max.of(1000), 100u) << "10% of the file system";
    EXPECT_FALSE(server.m_resume_plain);
    use_views("<config>" + server_xml +
              "<resume_min_size>1g</resume_min_size><partial_hours>2</partial_hours>"
              "<partial_max>20G</partial_max><resume_plain>true</resume_plain></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_resume_min_size, 1u << 30);
    EXPECT_EQ(server.m_partial_hours, 2);
    EXPECT_EQ(server.m_partial_max.of(1000), 20ull << 30);
    EXPECT_TRUE(server.m_resume_plain);
    for (const char* keys :
         {"<resume_min_size>512K</resume_min_size>", "<resume_min_size>5X</resume_min_size>",
          "<partial_hours>0</partial_hours>", "<partial_hours>8761</partial_hours>",
          "<partial_max>0</partial_max>", "<partial_max>101%</partial_max>",
          "<partial_max>%</partial_max>", "<resume_plain>maybe</resume_plain>"}) {
        use_views("<config>" + server_xml + keys + "</config>");
        EXPECT_NE(qk_take_checked_params(server), nullptr) << keys;
        EXPECT_EQ(server.m_resume_min_size, 1u << 30) << keys;
        EXPECT_EQ(server.m_partial_hours, 2) << keys;
        EXPECT_EQ(server.m_partial_max.of(1000), 20ull << 30) << keys;
    }
    use_views("<config>" + server_xml + "<partial_max>50%</partial_max></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_partial_max.of(1000), 500u);
    use_views("<config>" + server_xml + "<resume_min_size>off</resume_min_size></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_resume_min_size, 0u);
}

// The keys of who may use the file ports are of the file alone: without them both listeners
// take every address and every source, as before they existed; a malformed value, or both
// listeners off, refuses the whole file and leaves the values in force. A listener that is
// off needs no valid port.
TEST_F(ServiceParamsTest, FilePortKeysKeepTodaysListenersWhenAbsentAndAreRefusedWhenMalformed) {
    const std::string server_xml = serverXml();
    use_views("<config>" + server_xml + "</config>");
    SQKSrvSParams server;
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(std::make_tuple(server.m_address, server.m_ssl_address, server.m_allowed_networks,
                              server.m_source_connections),
              std::make_tuple("0.0.0.0", "0.0.0.0", "", QK_SOURCE_CONNECTIONS_DEFAULT));
    const std::string good =
        "<address>127.0.0.1</address><ssl_address>[fd00::5]</ssl_address><allowed_networks>"
        "10.0.0.0/8, 192.168.1.7 fd00::/8,::1</allowed_networks><source_connections>10"
        "</source_connections>";
    use_views("<config>" + server_xml + good + "</config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_address, "127.0.0.1");
    for (const char* address : {"::", "::1", "[::1]", "fd00::5"})
        EXPECT_NO_THROW(qk_check_listen_address("address", address)) << address;
    for (const char* keys : {
             "<address>localhost</address>",
             "<address>127.1</address>",
             "<address>[127.0.0.1]</address>",
             "<ssl_address>fe80::1%lo</ssl_address>",
             "<ssl_address>[::1</ssl_address>",
             "<address>off</address><ssl_address>off"
             "</ssl_address>",
             "<allowed_networks>10.1.2.3/8</allowed_networks>",
             "<allowed_networks>10.0.0.0/33</allowed_networks>",
             "<ssl_allowed_networks>10.0.0.0/</ssl_allowed_networks>",
             "<ssl_allowed_networks>010.0.0.1</ssl_allowed_networks>",
             "<allowed_networks>fd00::1/8</allowed_networks>",
             "<allowed_networks>fd00::/129</allowed_networks>",
             "<allowed_networks>[::1]</allowed_networks>",
             "<source_connections>0</source_connections>",
             "<source_connections>65</source_connections>",
         }) {
        use_views("<config>" + server_xml + keys + "</config>");
        const std::exception_ptr refusal = qk_take_checked_params(server);
        ASSERT_NE(refusal, nullptr) << keys;
        EXPECT_EQ(server.m_address, "127.0.0.1") << keys;
        EXPECT_EQ(server.m_source_connections, 10) << keys;
    }
    use_views("<config><in_dir>" + tmp / "in" +
              "</in_dir><back_dir/><port>0</port><ssl_port>5001</ssl_port><control_port>5002"
              "</control_port><address>off</address></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_EQ(server.m_address, "off");
}

// "bw_limit" is a key of the file alone: absent or blank there is no limit, a rate or a
// timetable is taken, a malformed value refuses the whole file naming the key and leaves the
// limit in force, and a write keeps the key as the file has it.
TEST_F(ServiceParamsTest, BwLimitIsRefusedWhenMalformedAndKeptByAWrite) {
    const std::string client_xml = clientXml();
    auto use_limit = [&](const std::string& value) {
        use_views("<config>" + client_xml + "<bw_limit>" + value + "</bw_limit></config>");
    };
    use_views("<config>" + client_xml + "</config>");
    SQKClnSParams client;
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_FALSE(client.m_bw_limit.isLimited());
    use_limit(" ");
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_FALSE(client.m_bw_limit.isLimited());

    const std::string table = "08:00,2M 18:00,off";
    use_limit(table);
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_bw_limit.text(), table);

    for (const char* value : {"5X", "25:00,1M", "08:00", "08:00,1M 07:00,2M"}) {
        use_limit(value);
        const std::exception_ptr refusal = qk_take_checked_params(client);
        ASSERT_NE(refusal, nullptr) << value;
        EXPECT_EQ(client.m_bw_limit.text(), table) << "the limit in force stays";
    }
    use_limit("5X");
    EXPECT_EQ(message_of([&] { std::rethrow_exception(qk_take_checked_params(client)); }),
              "Wrong value of bw_limit: rate 5X has an unknown suffix (K, M or G).");
    use_limit("512K");
    ASSERT_EQ(client.m_bw_limit.parse("1M"), "");
    client.writeParams();
    EXPECT_EQ(CQKBaseConfigs::instance().view("conf_c").getString("bw_limit"), "512K");
}

// "log_level" is a key of the file alone: absent it is TRACE, a wrong value is refused and
// leaves the level in force, a passed one is put in force, and a write keeps the key.
TEST_F(ServiceParamsTest, LogLevelIsCheckedPutInForceAndKeptByAWrite) {
    ASSERT_TRUE(init_log(LOG_MODE_FILE, tmp.path(), "params", "log", LOG_LEVEL_TRACE,
                         LOG_LEVEL_FATAL, 0, 0));
    const std::string server_xml = serverXml();
    use_views("<config>" + server_xml + "</config>");
    SQKSrvSParams server;
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_TRUE(log_level_enabled(LOG_LEVEL_TRACE));

    use_views("<config>" + server_xml + "<log_level>INFO</log_level></config>");
    EXPECT_EQ(qk_take_checked_params(server), nullptr);
    EXPECT_FALSE(log_level_enabled(LOG_LEVEL_DEBUG));
    EXPECT_TRUE(log_level_enabled(LOG_LEVEL_INFO));
    server.writeParams();
    EXPECT_EQ(CQKBaseConfigs::instance().view("conf_c").getString("log_level"), "INFO");

    use_views("<config>" + server_xml + "<log_level>LOUD</log_level></config>");
    const std::exception_ptr refusal = qk_take_checked_params(server);
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(message_of([&] { std::rethrow_exception(refusal); }),
              "Wrong value of log_level: LOUD. It must be one of TRACE, DEBUG, INFO, WARN, "
              "ERROR, FATAL.");
    EXPECT_FALSE(log_level_enabled(LOG_LEVEL_DEBUG));

    SQKClnSParams client = validClient();
    client.m_log_level = "debug";
    EXPECT_NE(message_of([&] { client.checkParams(); }), "");
    close_log();
}

// "exclude" is a key of the file alone: absent nothing is excluded, a good value is in force
// once read, a bad one is refused naming the key and leaves the patterns in force, and a
// write keeps the key as the file has it.
TEST_F(ServiceParamsTest, ExcludeIsReadRefusedWhenBadAndKeptByAWrite) {
    const std::string client_xml = clientXml();
    auto use_exclude = [&](const std::string& value) {
        use_views("<config>" + client_xml + "<exclude>" + value + "</exclude></config>");
    };
    use_views("<config>" + client_xml + "</config>");
    SQKClnSParams client;
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_TRUE(client.m_exclude.empty());

    const std::string good = ".* *.tmp,\n  *.part,";
    use_exclude(good);
    EXPECT_EQ(qk_take_checked_params(client), nullptr);
    EXPECT_EQ(client.m_exclude.patterns(), (std::vector<std::string>{".*", "*.tmp", "*.part"}));
    EXPECT_TRUE(client.m_exclude.excludes("/out/a/.x"));
    EXPECT_TRUE(client.m_exclude.excludes("x.tmp"));
    EXPECT_FALSE(client.m_exclude.excludes("/out/.a/x"));
    EXPECT_FALSE(client.m_exclude.excludes("/out/x.tmp.done"));
    client.writeParams();
    EXPECT_EQ(CQKBaseConfigs::instance().view("conf_c").getString("exclude"), good);

    std::string too_many;
    for (int i = 0; i < 65; ++i)
        too_many += "p" + std::to_string(i) + " ";
    const std::pair<std::string, std::string> refused[] = {
        {"*.tmp a/b", "pattern 2 (a/b) holds '/', which no file name holds"},
        {"*.tmp " + std::string(256, 'x'), "pattern 2 is longer than 255 bytes"},
        {too_many, "more than 64 patterns"},
        {"*.tmp\x7f", "pattern 1 holds a control character"},
    };
    for (const auto& [value, reason] : refused) {
        use_exclude(value);
        const std::exception_ptr refusal = qk_take_checked_params(client);
        ASSERT_NE(refusal, nullptr) << value;
        EXPECT_EQ(message_of([&] { std::rethrow_exception(refusal); }),
                  "Wrong value of exclude: " + reason + ".");
        EXPECT_EQ(client.m_exclude.patterns().size(), 3u) << value;
    }
}

}  // namespace

// A sender's outgoing directory never reaches the data tree's private keys: not the CA's,
// not any program's keys directory, nor a directory holding them.
TEST(OutgoingDirectoryTest, KeysDirectoriesAndWhatHoldsThemAreRefused) {
    TempDir tmp;
    for (const char* dir : {"share/ca/sub", "share/qk_relay_clnsvc/keys", "share/qk_relay_w/keys",
                            "share/qk_relay_work/cln_out"})
        Poco::File(tmp / dir).createDirectories();
    const std::string own_key = tmp / "share/qk_relay_clnsvc/keys/cln.zx.orvane.key";
    auto refusal = [&](const std::string& dir) {
        return message_of([&] { qk_check_dir_outside_keys("out_dir", tmp / dir, own_key); });
    };
    for (const char* dir : {"share/ca", "share/ca/sub", "share/qk_relay_w/keys", "share", "."})
        EXPECT_NE(refusal(dir).find("where private keys are kept"), std::string::npos) << dir;
    EXPECT_EQ(refusal("share/qk_relay_work/cln_out"), "");
    EXPECT_EQ(refusal("share/qk_relay_work"), "");
}
