// Derivation of the data tree beside the program, the TLS file paths and the XML views.
// The test program itself is "the program": its prefix is the folder above its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <Poco/File.h>
#include <Poco/Path.h>

#include "TempDir.h"
#include "base/qk_fs.h"
#include "config/CQKBaseConfigs.h"

namespace {

// Each test has its own program name, so tests running at once don't share files; only the
// test of the shared keys touches common/keys.
std::string kApp;

std::string prefix() {
    char module[QK_MAX_PATH];
    qk_base_module_path(module, sizeof(module));
    return Poco::Path(module).parent().parent().toString();
}

class BaseConfigsTest : public ::testing::Test {
protected:
    void SetUp() override {
        kApp =
            std::string("qk_cfg_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        removeTree();
    }
    void TearDown() override { removeTree(); }

    static void removeTree() {
        for (const std::string& path :
             {prefix() + "share/orvane/" + kApp, prefix() + "share/orvane/common/" + kApp + ".xml",
              prefix() + "var/log/orvane/" + kApp}) {
            if (Poco::File(path).exists())
                Poco::File(path).remove(true);
        }
    }
    static void write(const std::string& relative, const std::string& content) {
        TempDir::writeFileAt(prefix() + "share/orvane/" + relative, content);
    }
    static SQKBuildConstants constants() {
        return {"orvane", kApp.c_str(), "log",     "keys",     "xml",
                false,    true,         "own.key", "own.cert", "ca.zx.orvane.pem"};
    }
    static std::string message_of(void (*action)()) {
        try {
            action();
        } catch (const Poco::Exception& e) {
            return e.message();
        }
        return "(no exception)";
    }

    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
};

TEST_F(BaseConfigsTest, DataLivesBesideTheProgramAndTheCommonFileIsRequired) {
    EXPECT_EQ(message_of([] { CQKBaseConfigs::instance().initPaths(constants()); }),
              "Error of initializing of Common Configuration file path.");
    EXPECT_EQ(configs.searchNotes(),
              std::vector<std::string>{"  tried: " + prefix() + "share/orvane/common/" + kApp +
                                       ".xml: missing"});

    write(std::string("common/") + kApp + ".xml", "<config><shared>7</shared></config>");
    write(std::string(kApp) + "/" + kApp + ".xml", "<config><own>x</own></config>");
    configs.initPaths(constants());
    Poco::Util::AbstractConfiguration& appl = configs.view("appl");
    const std::string share = prefix() + "share/orvane/";
    EXPECT_EQ(appl.getString("appl_data_dpath"), share + kApp + "/");
    EXPECT_EQ(appl.getString("appl_log_dpath"), prefix() + "var/log/orvane/" + kApp + "/");
    EXPECT_EQ(appl.getString("appl_conf_c_fpath"), share + "common/" + kApp + ".xml");
    EXPECT_EQ(appl.getString("appl_conf_p_fpath"), share + kApp + "/" + kApp + ".xml");
    EXPECT_EQ(appl.getString("appl_icons_dpath"), "");
    EXPECT_TRUE(Poco::File(appl.getString("appl_log_dpath")).isDirectory());

    configs.readConfC();
    configs.readConfP();
    EXPECT_EQ(configs.view("conf_c").getInt("shared"), 7);
    EXPECT_EQ(configs.view("conf_p").getString("own"), "x");
    EXPECT_THROW(configs.view("no_such_view"), Poco::NullPointerException);

    // Saving replaces the file whole: a new inode with the old mode, no temporary beside it.
    const std::string common = appl.getString("appl_conf_c_fpath");
    ASSERT_EQ(::chmod(common.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat(common.c_str(), &before), 0);
    configs.view("conf_c").setInt("shared", 8);
    configs.writeConfC();
    struct stat after {};
    ASSERT_EQ(::stat(common.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    configs.readConfC();
    EXPECT_EQ(configs.view("conf_c").getInt("shared"), 8);
    std::vector<std::string> names;
    Poco::File(appl.getString("appl_conf_c_dpath")).list(names);
    for (const std::string& name : names)
        EXPECT_NE(name.front(), '.') << name;
}

TEST_F(BaseConfigsTest, EveryKeyAndSharedCertificateMustBeThere) {
    write(std::string("common/") + kApp + ".xml", "<config/>");
    write(std::string(kApp) + "/" + kApp + ".xml", "<config/>");
    for (const char* own : {"own.key", "own.cert", "ca.zx.orvane.pem"}) {
        write(std::string(kApp) + "/keys/" + own, "k");
    }
    const char* shared[] = {"ca.zx.orvane.pem", "cln.zx.orvane.cert", "srv.zx.orvane.cert",
                            "gui.zx.orvane.cert"};
    for (const char* name : shared)
        write(std::string("common/keys/") + name, "c");
    configs.initConfigs(constants());
    EXPECT_EQ(configs.view("ssl_keys").getString("ssl_keys_key_fpath"),
              prefix() + "share/orvane/" + kApp + "/keys/own.key");
    EXPECT_EQ(configs.view("ssl_keys").getString("ssl_common_gui_cert_fpath"),
              prefix() + "share/orvane/common/keys/gui.zx.orvane.cert");

    // A program that never uses the control program's certificate still needs it.
    Poco::File(prefix() + "share/orvane/common/keys/gui.zx.orvane.cert").remove();
    EXPECT_EQ(message_of([] { CQKBaseConfigs::instance().initConfigs(constants()); }),
              "Error of initializing of Keys Info.");
    EXPECT_EQ(configs.searchNotes().back(),
              "  tried: " + prefix() + "share/orvane/common/keys/gui.zx.orvane.cert: missing");
    Poco::File(prefix() + "share/orvane/common/keys").remove(true);
}

}  // namespace
