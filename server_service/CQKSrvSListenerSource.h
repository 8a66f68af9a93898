// The server service's file listeners' parameters: the service's one parameter record,
// which the control task re-reads and the control program may change at any time. Every
// answer is read under the configuration lock, so it is consistent: the binding and the key
// files at each start (and at each restart question), the two directories at each header.
// The TLS listener's revocation list lies beside the record's common CA.
#pragma once

#include "config/SQKSrvSParams.h"
#include "transfer/CQKListenerSource.h"

class CQKSrvSListenerSource : public CQKListenerSource {
public:
    // The record; the source keeps the pointer, not a copy.
    explicit CQKSrvSListenerSource(const SQKSrvSParams* params) : m_params(params) {}

    SQKListenerBinding binding(bool secure) const override;
    SQKListenerKeys keys() const override;
    SQKReceivingDirs receivingDirs() const override;

private:
    const SQKSrvSParams* m_params;
};
