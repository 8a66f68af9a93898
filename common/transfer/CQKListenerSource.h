// Where a file listener's parameters come from: the console receiver's copy of its
// parameters, or the server service's record that the control program may change at any
// time. The listener (CQKTcpListener) asks at each start, and for the receiving directories
// at each header; a source answers with a consistent set each time.
#pragma once

#include <string>

#include "transfer/CQKFileListener.h"

// Where and for whom a listener listens.
struct SQKListenerBinding {
    std::string address;  // "off": the listener is switched off
    int port = 0;
    std::string networks;  // allowed source networks; empty: any
    int per_source = 0;    // connections one source address may hold
    bool operator==(const SQKListenerBinding& other) const {
        return address == other.address && port == other.port && networks == other.networks &&
               per_source == other.per_source;
    }
};

// The files a TLS listener's context is built from.
struct SQKListenerKeys {
    std::string key;
    std::string cert;
    std::string ca;
    std::string crl;         // revocation list; empty: none
    std::string number_dir;  // where the highest revocation list number seen is kept
};

class CQKListenerSource {
public:
    virtual ~CQKListenerSource() = default;
    // The plain (secure false) or the TLS listener's binding as configured now.
    virtual SQKListenerBinding binding(bool secure) const = 0;
    // The key files of the TLS listener as configured now.
    virtual SQKListenerKeys keys() const = 0;
    // Where received files go, asked at each header from connection threads.
    virtual SQKReceivingDirs receivingDirs() const = 0;
};
