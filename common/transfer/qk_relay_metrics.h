// Every metric of the relay, named in one place, as sets on the process-wide registry. A
// set is registered at its first use; a program asks for the sets it serves at its start,
// so that they are rendered (as 0) before their first event. Each member is a reference
// into the registry: an update is one atomic operation.
#pragma once

#include "base/qk_metrics.h"

// The receiver: qk_relay_srv and qk_relay_srvsvc.
struct SQKReceiverMetrics {
    CQKCounter& files;  // placed under their name and acknowledged
    CQKCounter& bytes;
    // Files answered with status 0x7F, by reason.
    CQKCounter& refused_checksum;   // the content's CRC-32 differs from the sender's
    CQKCounter& refused_name;       // an unsafe name or sub-directory, a directory in the way
    CQKCounter& refused_receiving;  // the same path is being received on another connection
    CQKCounter& refused_write;      // a directory or file that cannot be made, written or placed
    CQKCounter& refused_other;      // a time-out or malformed frame in the middle of a file
    CQKGauge& connections_open;
    CQKCounter& tls_handshakes_refused;
    CQKCounter& tls_revoked_refused;  // client certificates the revocation list names
    CQKGauge& partial_files;          // partial content kept for a resume
    CQKGauge& partial_bytes;
    CQKCounter& resumed_files;
    CQKCounter& resumed_bytes;  // held already, not sent again
    // Idle connections (between files, before their first frame, in an unfinished TLS
    // handshake) closed to give their thread to a connection that waits for one.
    CQKCounter& idle_closed;
    // Partial content removed before its file came whole, by reason.
    CQKCounter& partial_removed_cap;      // to keep the store within partial_max
    CQKCounter& partial_removed_reserve;  // to keep the free space beyond the reserve
    CQKCounter& partial_removed_expired;  // not written for partial_hours
    CQKCounter& partial_removed_source;   // the same path from another source: the file changed
};

// The senders: qk_relay_clnsvc (and qk_relay_cln, which serves no endpoint).
struct SQKSenderMetrics {
    CQKCounter& files;  // acknowledged by the receiver
    CQKCounter& bytes;
    CQKCounter& failed_attempts;
    CQKCounter& refused;           // refusals by the receiver: a file refused at n runs counts n
    CQKCounter& unremovable;       // delivered files that could not be removed, each once
    CQKGauge& last_delivery_time;  // unix seconds of the last acknowledgement
    CQKGauge& files_in_flight;     // sent, their status not yet come (all connections)
    CQKGauge& round_trip;          // seconds, as the last connection's TCP measures it
};

// The client service's scans: the backlog as of the last listing and the scans' time.
struct SQKScanMetrics {
    CQKGauge& backlog_files;
    CQKGauge& backlog_bytes;
    CQKGauge& backlog_oldest_age;  // seconds since the oldest listed file was modified
    CQKGauge& last_scan_duration;
    CQKCounter& scans;
};

// The services' control listeners: connections or exchanges refused, by reason.
struct SQKControlMetrics {
    CQKCounter& refused_peer;       // not from 127.0.0.1
    CQKCounter& refused_busy;       // an exchange runs and another waits
    CQKCounter& refused_signature;  // a record whose signature does not verify
    CQKCounter& refused_error;      // any other failed exchange, a refused record included
};

const SQKReceiverMetrics& qk_receiver_metrics();
const SQKSenderMetrics& qk_sender_metrics();
const SQKScanMetrics& qk_scan_metrics();
const SQKControlMetrics& qk_control_metrics();

// File connections closed before their conversation, by reason: by the listeners' gates at
// their accept, and by the connections at their first bytes.
struct SQKSourceGateMetrics {
    CQKCounter& refused_network;     // the source is in none of the allowed networks
    CQKCounter& refused_share;       // the source holds its share of the listener already
    CQKCounter& refused_queue;       // the listener's queue of waiting connections is full
    CQKCounter& refused_wrong_port;  // TLS at the plain port, or plain at the TLS port
};

const SQKSourceGateMetrics& qk_source_gate_metrics();
