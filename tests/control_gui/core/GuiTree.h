// A temporary install tree with keys for the control program's core: its views point at the
// tree's files, its GUI log and replies land in a mailbox the tests drain.
#pragma once

#include <Poco/UnicodeConverter.h>
#include <Poco/Util/MapConfiguration.h>

#include <string>
#include <vector>

#include "CQKConfigControl.h"
#include "CQKGuiLog.h"
#include "ProgramRunner.h"
#include "config/CQKBaseConfigs.h"

class GuiTree {
public:
    GuiTree() {
        m_ok = m_runner.run("qk_relay_keys", {}).exit_code == 0;
        CQKBaseConfigs& configs = CQKBaseConfigs::instance();
        for (const char* label : {"appl", "ssl_keys"})
            if (configs.find(label).isNull())
                configs.add(new Poco::Util::MapConfiguration, label, 0, true);
        Poco::Util::AbstractConfiguration& appl = configs.view("appl");
        appl.setString("appl_conf_c_dpath", path("common/"));
        appl.setString("appl_conf_c_fpath", path("common/qk_relay_w.xml"));
        appl.setString("appl_conf_p_fpath", path("qk_relay_w/qk_relay_w.xml"));
        Poco::Util::AbstractConfiguration& keys = configs.view("ssl_keys");
        keys.setString("ssl_keys_key_fpath", path("qk_relay_w/keys/gui.zx.orvane.key"));
        keys.setString("ssl_keys_cert_fpath", path("qk_relay_w/keys/gui.zx.orvane.cert"));
        keys.setString("ssl_keys_ca_cert_fpath", path("qk_relay_w/keys/ca.zx.orvane.pem"));
        for (const char* name : {"ca", "srv", "cln", "gui"}) {
            const std::string ext = std::string(name) == "ca" ? ".pem" : ".cert";
            keys.setString(std::string("ssl_common_") + name + "_cert_fpath",
                           path(std::string("common/keys/") + name + ".zx.orvane" + ext));
        }
        ProgramRunner::writeFile(path("qk_relay_w/qk_relay_w.xml"), "<config></config>");
        CQKGuiLog::instance().setWindow(&m_mailbox);
        CQKConfigControl::instance().setWindow(&m_mailbox);
        // Generous, as services on a busy machine may be slow to answer; tests of a silent
        // peer shorten it.
        CQKConfigControl::instance().setStepTimeout(Poco::Timespan(10, 0));
    }
    ~GuiTree() {
        CQKGuiLog::instance().setWindow(nullptr);
        CQKConfigControl::instance().setWindow(nullptr);
    }

    bool ok() const { return m_ok; }
    // A path below share/orvane of the tree.
    std::string path(const std::string& relative) const {
        return m_runner.path("share/orvane/" + relative);
    }
    ProgramRunner& runner() { return m_runner; }

    void writeGuiConfig(const std::string& cln_port, const std::string& srv_port,
                        const std::string& extra = "") {
        ProgramRunner::writeFile(
            path("common/qk_relay_w.xml"),
            "<config><client_control_port>" + cln_port +
                "</client_control_port><server_control_port>" + srv_port +
                "</server_control_port><run_when_win_starts>false</"
                "run_when_win_starts><start_mimimized>false</start_mimimized>" +
                extra + "</config>");
    }

    // Runs one request and drains the mailbox: the GUI-log lines and the replies.
    struct Outcome {
        std::vector<std::string> lines;
        std::vector<std::unique_ptr<SQKConfigCodeCtrl>> replies;
        bool said(const std::string& text) const {
            for (const std::string& line : lines)
                if (line == text)
                    return true;
            return false;
        }
    };
    Outcome run(std::int32_t code, SQKConfigCodeCtrl::Payload payload = {}) {
        auto request = std::make_unique<SQKConfigCodeCtrl>();
        request->config_code_ctrl = code;
        request->data = std::move(payload);
        CQKConfigControl::instance().procConfigCodeCtrl(std::move(request));
        return drain();
    }
    Outcome drain() {
        Outcome outcome;
        for (SQKGuiMessage& message : m_mailbox.takeAll()) {
            if (message.line) {
                std::string text;
                Poco::UnicodeConverter::convert(
                    reinterpret_cast<const Poco::UTF16Char*>(message.line->m_message),
                    std::char_traits<char16_t>::length(message.line->m_message), text);
                outcome.lines.push_back(text);
            }
            if (message.ctrl)
                outcome.replies.push_back(std::move(message.ctrl));
        }
        return outcome;
    }
    CQKGuiMailbox& mailbox() { return m_mailbox; }

private:
    ProgramRunner m_runner;
    CQKGuiMailbox m_mailbox;
    bool m_ok = false;
};
