// Client bundles: one file that sets up a client machine.
//
// A bundle is made on the machine that holds the CA. It carries the CA certificate, a
// client key and certificate issued for this bundle alone (the client name the receivers
// check is the same for every machine; the serial number and the machine label differ, so
// one machine's certificate can later be told apart and refused without touching the
// others) and the certificates every program checks at its start. It is text:
//
//   # comment lines (label, serial, date of export)
//   file: ca.zx.orvane.pem
//   -----BEGIN CERTIFICATE-----
//   ...
//   -----END CERTIFICATE-----
//   file: cln.zx.orvane.key
//   ...
//
// Each export is recorded in the CA directory: a line of "exports.txt" (serial, label, date,
// bundle path) and a copy of the issued certificate in "exported/<serial>.pem".
//
// A revocation names an export by its serial number or its label. It is recorded as a line
// of "revoked.txt" in the CA directory (serial, label, date) and makes the CA sign the
// revocation list anew, with every certificate revoked so far, into the shared keys
// directory (transfer/qk_tls.h's QK_CRL_FILE, mode 0644, replaced whole): the receivers
// check client certificates against that file. Every list carries a larger number than the
// one before (its last is kept in "crl_number.txt" in the CA directory), so receivers can
// refuse an older list copied back over a newer one. A label names the one export of that label
// not yet revoked; with several, each must be revoked by its serial number. Revoking again
// writes the list again and records nothing.
//
// An import checks the whole bundle first (every file present once, every certificate
// issued by the bundle's CA for its name, the key belonging to the client certificate) and
// only then writes anything: the CA into every program's keys directory and the shared one,
// the client key and certificate into the console client's and the client service's keys
// directories, and the shared certificates. A machine that has a control-program key of its
// own keeps it and its certificate: they sign the control records of this machine's
// services only.
#pragma once

#include <map>
#include <string>

struct SQKClientBundle {
    std::string label;
    std::string serial;
    std::map<std::string, std::string> files;  // file name -> PEM text
};

// The text of a bundle.
std::string qk_bundle_text(const SQKClientBundle& bundle);
// Reads a bundle's text; Poco::DataFormatException for anything but a complete bundle.
SQKClientBundle qk_bundle_parse(const std::string& text);

// The bundle commands of qk_relay_keys on the tree below keys_root (".../orvane/"). Each
// prints what it did and returns a process exit code (EXIT_DATAERR for a bundle that is not
// whole, a serial number or label no export has, a label of several exports in force);
// other errors are Poco exceptions.
int qk_export_client(const std::string& keys_root, const std::string& bundle_fpath,
                     const std::string& label, int days, bool force);
int qk_import_client(const std::string& keys_root, const std::string& bundle_fpath);
// Lists every export with the date of its revocation ("-" for none).
int qk_list_exports(const std::string& keys_root);
// Revokes the export which names (a serial number, with or without "serial=", any case, or
// a label) and writes the revocation list.
int qk_revoke_client(const std::string& keys_root, const std::string& which);
