// control_probe: what an operator does on the control program's Client and Server pages,
// without the window, for the system test of the installed packages. With the control
// program's own data (its key and settings under the program data root, e.g.
// QK_RELAY_PROGRAM_DATA=/etc/), it reads both services' parameters over their control
// ports, verifies their signatures, sets each service's backup directory to the given one,
// signs and applies the records over the same ports.
//
// Usage: control_probe CLIENT_BACK_DIR SERVER_BACK_DIR
// Prints every activity line of the control program's core. Exit codes: 0 when both services
// sent verified parameters and acknowledged the applied ones; 1 otherwise; 2 on bad usage.
#include <Poco/Crypto/Crypto.h>
#include <Poco/UnicodeConverter.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "CQKConfigControl.h"
#include "CQKGuiLog.h"
#include "app/qk_frame.h"
#include "protocol/qk_ctrl_sign.h"

namespace {

// The control program's build constants: the probe uses its data directory and its key.
SQKFrameSettings control_program_settings() {
    SQKFrameSettings settings;
    settings.constants = {"orvane", "qk_relay_w", "log", "keys", "xml",
                          false,  // use_common
                          true,   // portable
                          "gui.zx.orvane.key", "gui.zx.orvane.cert", "ca.zx.orvane.pem"};
    settings.min_level = LOG_LEVEL_TRACE;
    return settings;
}

struct Outcome {
    std::vector<std::string> lines;
    std::unique_ptr<SQKConfigCodeCtrl> reply;
    bool said(const std::string& text) const {
        for (const std::string& line : lines)
            if (line == text)
                return true;
        return false;
    }
};

CQKGuiMailbox g_mailbox;

// One request through the core, as the control queue hands it over; its activity lines are
// printed.
Outcome run(std::int32_t code, SQKConfigCodeCtrl::Payload payload = {}) {
    auto request = std::make_unique<SQKConfigCodeCtrl>();
    request->config_code_ctrl = code;
    request->data = std::move(payload);
    CQKConfigControl::instance().procConfigCodeCtrl(std::move(request));
    Outcome outcome;
    for (SQKGuiMessage& message : g_mailbox.takeAll()) {
        if (message.line) {
            std::string text;
            Poco::UnicodeConverter::convert(
                reinterpret_cast<const Poco::UTF16Char*>(message.line->m_message),
                std::char_traits<char16_t>::length(message.line->m_message), text);
            std::cout << "  " << text << "\n";
            outcome.lines.push_back(text);
        }
        if (message.ctrl)
            outcome.reply = std::move(message.ctrl);
    }
    return outcome;
}

// Reads a service's record over its control port, sets its backup directory and applies it.
template <typename Record>
bool read_and_apply(const char* who, std::int32_t read_code, std::int32_t apply_code,
                    const std::string& back_dir) {
    const std::string service = std::string(who) + " Service";
    std::cout << "read " << service << ":\n";
    Outcome read = run(read_code);
    const Record* record = read.reply ? read.reply->payload<Record>() : nullptr;
    if (record == nullptr || !read.said("Parameters were received from " + service) ||
        !read.said(std::string("Signature of ") + who + " Parameters has been verified. Ok")) {
        std::cout << "FAILED: no verified parameters from the " << service << "\n";
        return false;
    }
    Record changed = *record;
    std::memset(changed.m_back_dir, 0, sizeof(changed.m_back_dir));
    qk_ctrl_set_string(changed.m_back_dir, back_dir);
    std::cout << "apply " << service << " (back_dir " << back_dir << "):\n";
    Outcome applied = run(apply_code, changed);
    if (!applied.said("Parameters were sent to " + service)) {
        std::cout << "FAILED: the " << service << " did not acknowledge the parameters\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: control_probe CLIENT_BACK_DIR SERVER_BACK_DIR\n";
        return 2;
    }
    Poco::Crypto::initializeCrypto();
    std::string failure;
    if (!qk_frame_start(control_program_settings(), false, &failure)) {
        std::cout << "FAILED: the control program's configuration: " << failure << "\n";
        return 1;
    }
    CQKGuiLog::instance().setWindow(&g_mailbox);
    CQKConfigControl::instance().setWindow(&g_mailbox);
    std::cout << "settings:\n";
    run(read_file_gui_params);
    const bool ok =
        read_and_apply<SQKClnSCtrl>("Client", read_conf_clns, apply_conf_clns, argv[1]) &&
        read_and_apply<SQKSrvSCtrl>("Server", read_conf_srvs, apply_conf_srvs, argv[2]);
    CQKGuiLog::instance().setWindow(nullptr);
    CQKConfigControl::instance().setWindow(nullptr);
    std::cout << (ok ? "both services acknowledged" : "FAILED") << "\n";
    return ok ? 0 : 1;
}
