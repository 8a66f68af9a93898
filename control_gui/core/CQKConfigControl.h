// The control program's single worker for parameters: reads the services' parameters from
// their control ports (signed records verified with the service's certificate) or else from
// their XML files, signs and applies edited parameters or, when a service cannot be
// reached, saves them to its file (a service's refusal writes nothing), and reads, saves and
// applies the control program's own settings.
//
// One request at a time, on the control queue's thread (and once at start-up before it
// exists); the object holds no lock. Replies go to the registered window as WM_PROC_CTRL.
#pragma once

#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "CQKGuiMailbox.h"
#include "SQKConfigCodeCtrl.h"

class CQKConfigControl {
public:
    static CQKConfigControl& instance();

    void setWindow(CQKGuiMailbox* window) { m_window = window; }
    // How long each socket step waits for readiness (30 s; tests shorten it).
    void setStepTimeout(const Poco::Timespan& timeout) { m_step_timeout = timeout; }

    // Executes one request. Returns the request with its reply payload when it has one and
    // no window is registered (the caller keeps it); otherwise the request is posted or
    // destroyed and nullptr is returned. Never throws: a failure is logged and ends the
    // request without a reply.
    std::unique_ptr<SQKConfigCodeCtrl> procConfigCodeCtrl(
        std::unique_ptr<SQKConfigCodeCtrl> request);
    // Keeps the per-user autostart entry in line with run_when_win_starts.
    void procParams();

    const SQKGuiParams& guiParams() const { return m_gui; }
    // The control ports of the settings in force, readable from any thread: the pages keep
    // the services' other ports off them. 0 when off.
    std::int32_t clientControlPort() const { return m_client_control_port.load(); }
    std::int32_t serverControlPort() const { return m_server_control_port.load(); }
    std::uint8_t currResult() const { return m_curr_result; }

    // The autostart entry: $XDG_CONFIG_HOME (else ~/.config) + "/autostart/qk_relay_w.desktop".
    static std::string autostartPath();

private:
    CQKConfigControl() = default;

    void act(std::int32_t code);
    template <typename Record>
    void readFromService(std::int32_t code, Record& record, std::int32_t port, const char* who);
    // How an apply ended: taken by the service, or the service could not be reached (its
    // file is then where the values go), or refused or failed on the way (nothing written).
    enum class Applied { applied, unreachable, failed };
    template <typename Record>
    Applied applyToService(Record& record, std::int32_t port, const char* who);
    void onNetworkFailure(const char* gui_text, std::int32_t port);

    void publishControlPorts();
    void fileReadGuiParams();
    void fileWriteGuiParams();
    void fileReadClnSCtrl();
    void fileWriteClnSCtrl();
    void fileReadSrvSCtrl();
    void fileWriteSrvSCtrl();
    std::string serviceFile(const char* name) const;

    void openConnection(const std::string& address, std::int32_t port);
    void closeConnection(const std::string& address, std::int32_t port);
    void recvStatus(std::uint8_t expected);
    void sendStatus();
    void sendData(const void* bytes, int size);
    void recvData(void* buffer, int size);
    void netRecvCtrl(void* record, int size);
    void netSendCtrl(const void* record, int size);
    void waitReady(int mode, bool write_exception);
    template <typename Record>
    void doSignCtrl(Record& record);
    template <typename Record>
    void verifySignCtrl(const Record& record, const std::string& cert_fpath);

    SQKGuiParams m_gui;
    SQKClnSCtrl m_cln{};
    SQKSrvSCtrl m_srv{};
    bool m_gui_known = false;  // the settings were read or applied once
    std::uint8_t m_curr_result = 0x7F;
    std::int32_t m_code = 0;
    std::unique_ptr<Poco::Net::StreamSocket> m_socket;
    std::atomic<CQKGuiMailbox*> m_window{nullptr};
    std::atomic<std::int32_t> m_client_control_port{0};
    std::atomic<std::int32_t> m_server_control_port{0};
    Poco::Timespan m_step_timeout{30, 0};
};
