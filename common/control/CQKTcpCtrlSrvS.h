// The server service's side of the control protocol: the control listener
// CQKTcpCtrlSrvS, its factory CQKCtrlSrvSConnectionFactory and the connection
// CQKCtrlSrvSConnection, which hand out and apply SQKSrvSCtrl records (incoming and backup
// directories, plain and TLS ports) of the shared SQKSrvSParams.
#pragma once

#include <string>

#include "config/SQKSrvSParams.h"
#include "control/CQKCtrlService.h"
#include "protocol/SQKSrvSCtrl.h"

struct QKLogTag;

struct CQKCtrlSrvSTraits {
    using Record = SQKSrvSCtrl;
    using Params = SQKSrvSParams;

    static constexpr const char* kListenerName = "CQKTcpCtrlSrvS";
    static constexpr const char* kFactoryName = "CQKCtrlSrvSConnectionFactory";
    static constexpr const char* kConnectionName = "CQKCtrlSrvSConnection";
    static constexpr const char* kVerifyTag = "CQKCtrlSrvSConnection::verifySignCtrl()";
    static constexpr const char* kRecordName = "SQKSrvSCtrl";

    static void fill(const Params& params, Record& ctrl);
    // Reads every field of ctrl before it changes params: a string field without terminator,
    // or with text the configuration file can't hold, throws Poco::DataFormatException and
    // leaves params as it was.
    static void apply(const Record& ctrl, Params& params);
    // Throws the refusal of checkParams, which the control task would log at every pass.
    static void check(const Params& params);
    static void traceSent(const QKLogTag& tag, const Record& ctrl);
    static void traceApplied(const QKLogTag& tag, const Params& params);
    static void traceSignKeys(const QKLogTag& tag, const std::string& cert_fpath,
                              const std::string& key_fpath);
    static void traceVerifyCert(const QKLogTag& tag, const std::string& cert_fpath);
};

class CQKTcpCtrlSrvS : public CQKTcpCtrlSrvT<CQKCtrlSrvSTraits> {
public:
    using CQKTcpCtrlSrvT<CQKCtrlSrvSTraits>::CQKTcpCtrlSrvT;
};
using CQKCtrlSrvSConnectionFactory = CQKCtrlConnectionFactoryT<CQKCtrlSrvSTraits>;
using CQKCtrlSrvSConnection = CQKCtrlConnectionT<CQKCtrlSrvSTraits>;
