// The relay's metric sets on the process-wide registry.
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr const char* kReceiverRefused = "qk_relay_receiver_refused_files_total";
constexpr const char* kReceiverRefusedHelp =
    "Files the receiver refused with status 0x7F, by reason.";
constexpr const char* kPartialRemoved = "qk_relay_receiver_partial_removed_total";
constexpr const char* kPartialRemovedHelp =
    "Files of partial content removed before their transfer completed, by reason.";
constexpr const char* kControlRefused = "qk_relay_control_refused_total";
constexpr const char* kControlRefusedHelp =
    "Control connections or exchanges refused or failed, by reason.";

}  // namespace

const SQKReceiverMetrics& qk_receiver_metrics() {
    static const SQKReceiverMetrics metrics = [] {
        CQKMetricsRegistry& r = CQKMetricsRegistry::instance();
        return SQKReceiverMetrics{
            r.counter("qk_relay_received_files_total",
                      "Files received, checked, placed under their name and acknowledged."),
            r.counter("qk_relay_received_bytes_total", "Bytes of the files received."),
            r.counter(kReceiverRefused, kReceiverRefusedHelp, "reason", "checksum"),
            r.counter(kReceiverRefused, kReceiverRefusedHelp, "reason", "name"),
            r.counter(kReceiverRefused, kReceiverRefusedHelp, "reason", "receiving"),
            r.counter(kReceiverRefused, kReceiverRefusedHelp, "reason", "write"),
            r.counter(kReceiverRefused, kReceiverRefusedHelp, "reason", "other"),
            r.gauge("qk_relay_receiver_connections_open", "File connections open (plain and TLS)."),
            r.counter("qk_relay_tls_handshakes_refused_total",
                      "TLS connections whose handshake failed or never came."),
            r.counter("qk_relay_tls_revoked_refused_total",
                      "TLS handshakes refused because the revocation list names the client's "
                      "certificate; each is also a refused handshake."),
            r.gauge("qk_relay_receiver_partial_files",
                    "Files of cut transfers whose partial content is kept for a resume, as of "
                    "the last look at the store."),
            r.gauge("qk_relay_receiver_partial_bytes", "Bytes of that partial content."),
            r.counter("qk_relay_receiver_resumed_files_total",
                      "Files whose transfer resumed from partial content."),
            r.counter("qk_relay_receiver_resumed_bytes_total",
                      "Bytes of partial content that resumed transfers did not send again."),
            r.counter("qk_relay_receiver_idle_closed_total",
                      "Idle file connections closed to give their thread to a connection that "
                      "waits for one."),
            r.counter(kPartialRemoved, kPartialRemovedHelp, "reason", "cap"),
            r.counter(kPartialRemoved, kPartialRemovedHelp, "reason", "reserve"),
            r.counter(kPartialRemoved, kPartialRemovedHelp, "reason", "expired"),
            r.counter(kPartialRemoved, kPartialRemovedHelp, "reason", "source"),
        };
    }();
    return metrics;
}

const SQKSenderMetrics& qk_sender_metrics() {
    static const SQKSenderMetrics metrics = [] {
        CQKMetricsRegistry& r = CQKMetricsRegistry::instance();
        return SQKSenderMetrics{
            r.counter("qk_relay_sent_files_total", "Files sent and acknowledged by the receiver."),
            r.counter("qk_relay_sent_bytes_total", "Bytes of the files acknowledged."),
            r.counter("qk_relay_sender_failed_attempts_total",
                      "Sending attempts that failed (no connection, a time-out, a lost peer)."),
            r.counter("qk_relay_sender_refused_files_total",
                      "Refusals of files by the receiver (a file refused at several runs counts "
                      "at each)."),
            r.counter("qk_relay_sender_unremovable_files_total",
                      "Files delivered that could not be removed from the outgoing directory, "
                      "each counted once; they are not sent again while they are unchanged."),
            r.gauge("qk_relay_last_delivery_time_seconds",
                    "Time of the last acknowledged file since the unix epoch; 0 before the first."),
            r.gauge("qk_relay_sender_files_in_flight",
                    "Files sent whose status has not come back yet (files in flight)."),
            r.gauge("qk_relay_sender_round_trip_seconds",
                    "Round trip to the receiver as the sender's TCP connection measures it "
                    "(smoothed); 0 before the first connection."),
        };
    }();
    return metrics;
}

const SQKScanMetrics& qk_scan_metrics() {
    static const SQKScanMetrics metrics = [] {
        CQKMetricsRegistry& r = CQKMetricsRegistry::instance();
        return SQKScanMetrics{
            r.gauge("qk_relay_backlog_files",
                    "Files waiting in the outgoing tree at the last listing."),
            r.gauge("qk_relay_backlog_bytes", "Bytes of the files waiting at the last listing."),
            r.gauge(
                "qk_relay_backlog_oldest_age_seconds",
                "Age of the oldest file waiting at the last listing, by its modification time."),
            r.gauge("qk_relay_scan_duration_seconds",
                    "Duration of the last scan: listing and sending."),
            r.counter("qk_relay_scans_total", "Scans run."),
        };
    }();
    return metrics;
}

const SQKControlMetrics& qk_control_metrics() {
    static const SQKControlMetrics metrics = [] {
        CQKMetricsRegistry& r = CQKMetricsRegistry::instance();
        return SQKControlMetrics{
            r.counter(kControlRefused, kControlRefusedHelp, "reason", "peer"),
            r.counter(kControlRefused, kControlRefusedHelp, "reason", "busy"),
            r.counter(kControlRefused, kControlRefusedHelp, "reason", "signature"),
            r.counter(kControlRefused, kControlRefusedHelp, "reason", "error"),
        };
    }();
    return metrics;
}

const SQKSourceGateMetrics& qk_source_gate_metrics() {
    static const SQKSourceGateMetrics metrics = [] {
        constexpr const char* kName = "qk_relay_receiver_refused_connections_total";
        constexpr const char* kHelp =
            "File connections closed before their conversation (at their accept, or at a "
            "first byte meant for the other port), by reason.";
        CQKMetricsRegistry& r = CQKMetricsRegistry::instance();
        return SQKSourceGateMetrics{
            r.counter(kName, kHelp, "reason", "network"),
            r.counter(kName, kHelp, "reason", "share"),
            r.counter(kName, kHelp, "reason", "queue"),
            r.counter(kName, kHelp, "reason", "wrong_port"),
        };
    }();
    return metrics;
}
