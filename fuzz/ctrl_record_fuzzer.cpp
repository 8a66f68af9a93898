// libFuzzer target: feeds control records, as a hostile local peer could send them, to the
// check a service runs on a received record: the size of the receive, the range of
// m_sign_size, the verification against the control program's certificate, and the string
// fields' terminators. Both services' records are fed.
//
// The first input byte picks the form of the rest:
//   even  the rest is the record as received (any length: only exact sizes get past the
//         receive, as in receiveConfig);
//   odd   the rest is a list of (offset, value) byte pairs written over a record that the
//         control program's key signed, so that the fuzzer works near valid signatures.
// A record that verifies must have the signed form of the one that was signed (else a
// forgery, or a signed form that misses bytes, got through): that traps. A field accepted
// without its terminator inside the field traps too.
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/TemporaryFile.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/CQKTcpCtrlClnS.h"
#include "control/CQKTcpCtrlSrvS.h"
#include "pki/CQKCertificateAuthority.h"
#include "protocol/qk_ctrl_sign.h"
#include "transfer/qk_tls.h"

namespace {

struct Keys {
    std::string dir;
    std::string gui_key, gui_cert;
};

const Keys& keys() {
    static const Keys made = [] {
        Keys k;
        k.dir = Poco::TemporaryFile::tempName();
        Poco::File(k.dir).createDirectories();
        Poco::TemporaryFile::registerForDeletion(k.dir);
        k.gui_key = k.dir + "/gui.key";
        k.gui_cert = k.dir + "/gui.cert";
        const CQKCertificateAuthority ca = CQKCertificateAuthority::create("Fuzz CA");
        ca.issue(QK_TLS_GUI_NAME, k.gui_key, k.gui_cert);
        return k;
    }();
    return made;
}

// One service's side: a listener that never runs, a connection on an unconnected socket,
// and a record signed by the control program.
template <class Traits>
class Side {
public:
    using Record = typename Traits::Record;
    using Params = typename Traits::Params;

    Side() : m_listener(&m_params), m_connection(Poco::Net::StreamSocket(), m_listener) {
        m_params.m_common_gui_cert_fpath = keys().gui_cert;
        std::memset(&m_signed, 0, sizeof(m_signed));
        fillValid(m_signed);
        qk_ctrl_put_sign(
            m_signed, qk_ctrl_sign(qk_ctrl_signed_form(m_signed), keys().gui_cert, keys().gui_key));
    }

    void feedReceived(const std::uint8_t* data, std::size_t size) {
        if (size != sizeof(Record))
            return;  // receiveConfig refuses a short or long receive before any check
        Record ctrl;
        std::memcpy(&ctrl, data, sizeof(ctrl));
        check(ctrl);
    }

    void feedChanges(const std::uint8_t* data, std::size_t size) {
        Record ctrl = m_signed;
        auto* bytes = reinterpret_cast<std::uint8_t*>(&ctrl);
        for (std::size_t i = 0; i + 2 < size; i += 3) {
            const std::size_t offset = (data[i] | (data[i + 1] << 8)) % sizeof(ctrl);
            bytes[offset] = data[i + 2];
        }
        check(ctrl);
    }

private:
    static void fillValid(SQKSrvSCtrl& ctrl) {
        qk_ctrl_set_string(ctrl.m_in_dir, "/srv/in");
        qk_ctrl_set_string(ctrl.m_back_dir, "/srv/back");
        ctrl.m_port = 5000;
        ctrl.m_ssl_port = 5001;
    }
    static void fillValid(SQKClnSCtrl& ctrl) {
        qk_ctrl_set_string(ctrl.m_out_dir, "/cln/out");
        qk_ctrl_set_string(ctrl.m_back_dir, "/cln/back");
        qk_ctrl_set_string(ctrl.m_srv_address, "127.0.0.1");
        ctrl.m_srv_port = 5001;
        ctrl.m_use_ssl = 1;
    }

    void check(const Record& ctrl) {
        // The received record lies in a buffer of exactly its size, for the sanitizer.
        std::unique_ptr<Record> copy(new Record(ctrl));
        bool verified = false;
        try {
            m_connection.verifySignCtrl(*copy);
            verified = true;
        } catch (const Poco::Exception&) {
            // Refused: what a hostile record should get.
        }
        if (verified && qk_ctrl_signed_form(*copy) != qk_ctrl_signed_form(m_signed))
            __builtin_trap();
        // The copy into the parameters, which follows a verified record, on any record.
        Params params;
        try {
            Traits::apply(*copy, params);
        } catch (const Poco::DataFormatException&) {
            return;
        }
        if (verified && !sameStrings(params))
            __builtin_trap();
    }

    bool sameStrings(const Params& params) const {
        Params expected;
        Traits::apply(m_signed, expected);
        return stringsOf(params) == stringsOf(expected);
    }
    static std::vector<std::string> stringsOf(const SQKSrvSParams& p) {
        return {p.m_in_dir, p.m_back_dir};
    }
    static std::vector<std::string> stringsOf(const SQKClnSParams& p) {
        return {p.m_out_dir, p.m_back_dir, p.m_file_path, p.m_srv_address};
    }

    Params m_params;
    CQKTcpCtrlSrvT<Traits> m_listener;
    CQKCtrlConnectionT<Traits> m_connection;
    Record m_signed;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Side<CQKCtrlSrvSTraits> server;
    static Side<CQKCtrlClnSTraits> client;
    if (size == 0)
        return 0;
    const bool changes = (data[0] & 1) != 0;
    const bool to_client = (data[0] & 2) != 0;
    if (changes) {
        if (to_client)
            client.feedChanges(data + 1, size - 1);
        else
            server.feedChanges(data + 1, size - 1);
    } else {
        // Both records see every received image; only its own size passes the receive.
        server.feedReceived(data + 1, size - 1);
        client.feedReceived(data + 1, size - 1);
    }
    return 0;
}
