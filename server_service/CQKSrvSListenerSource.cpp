// The server service's file listeners' parameters.
#include "CQKSrvSListenerSource.h"

#include "config/CQKBaseConfigs.h"
#include "transfer/qk_tls.h"

SQKListenerBinding CQKSrvSListenerSource::binding(bool secure) const {
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    if (secure)
        return {m_params->m_ssl_address, m_params->m_ssl_port, m_params->m_ssl_allowed_networks,
                m_params->m_source_connections};
    return {m_params->m_address, m_params->m_port, m_params->m_allowed_networks,
            m_params->m_source_connections};
}

SQKListenerKeys CQKSrvSListenerSource::keys() const {
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_key_fpath, m_params->m_cert_fpath, m_params->m_ca_cert_fpath,
            qk_crl_fpath_beside(m_params->m_common_ca_cert_fpath), m_params->m_in_dir};
}

SQKReceivingDirs CQKSrvSListenerSource::receivingDirs() const {
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_in_dir,        m_params->m_back_dir,    m_params->m_resume_min_size,
            m_params->m_partial_hours, m_params->m_partial_max, m_params->m_resume_plain};
}
