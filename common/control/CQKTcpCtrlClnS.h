// The client service's side of the control protocol: the control listener
// CQKTcpCtrlClnS, its factory CQKCtrlClnSConnectionFactory and the connection
// CQKCtrlClnSConnection, which hand out and apply SQKClnSCtrl records (directories, single
// file, server address and port, TLS and sub-directory flags) of the shared SQKClnSParams.
// Unlike the server service's side it also traces the key paths and the values it sends.
#pragma once

#include <string>

#include "config/SQKClnSParams.h"
#include "control/CQKCtrlService.h"
#include "protocol/SQKClnSCtrl.h"

struct QKLogTag;

struct CQKCtrlClnSTraits {
    using Record = SQKClnSCtrl;
    using Params = SQKClnSParams;

    static constexpr const char* kListenerName = "CQKTcpCtrlClnS";
    static constexpr const char* kFactoryName = "CQKCtrlClnSConnectionFactory";
    static constexpr const char* kConnectionName = "CQKCtrlClnSConnection";
    static constexpr const char* kVerifyTag = "CQKConfigControl::verifySignCtrl()";
    static constexpr const char* kRecordName = "SQKClnSCtrl";

    static void fill(const Params& params, Record& ctrl);
    // Reads every field of ctrl before it changes params: a string field without terminator,
    // or with text the configuration file can't hold, throws Poco::DataFormatException and
    // leaves params as it was.
    static void apply(const Record& ctrl, Params& params);
    // Throws the refusal of checkParams for the record's values as a running scanner would
    // check them, whatever the control code.
    static void check(const Params& params);
    static void traceSent(const QKLogTag& tag, const Record& ctrl);
    static void traceApplied(const QKLogTag& tag, const Params& params);
    static void traceSignKeys(const QKLogTag& tag, const std::string& cert_fpath,
                              const std::string& key_fpath);
    static void traceVerifyCert(const QKLogTag& tag, const std::string& cert_fpath);
};

class CQKTcpCtrlClnS : public CQKTcpCtrlSrvT<CQKCtrlClnSTraits> {
public:
    using CQKTcpCtrlSrvT<CQKCtrlClnSTraits>::CQKTcpCtrlSrvT;
};
using CQKCtrlClnSConnectionFactory = CQKCtrlConnectionFactoryT<CQKCtrlClnSTraits>;
using CQKCtrlClnSConnection = CQKCtrlConnectionT<CQKCtrlClnSTraits>;
