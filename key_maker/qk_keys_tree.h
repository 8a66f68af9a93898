// Names, modes and directory routines of the keys tree that qk_relay_keys fills:
//   <root>/ca/                   the CA's key and certificate, the record of exported bundles
//   <root>/<program>/keys/       a program's own key, certificate and the CA
//   <root>/common/keys/          the CA and every program's certificate
// where <root> is PREFIX/share/orvane/ of an install tree, or /etc/orvane/ in the system
// layout.
#pragma once

#include <sys/types.h>

#include <string>

constexpr const char* QK_CA_KEY_FILE = "ca.zx.orvane.key";
constexpr const char* QK_CA_CERT_FILE = "ca.zx.orvane.pem";
constexpr const char* QK_SRV_KEY_FILE = "srv.zx.orvane.key";
constexpr const char* QK_SRV_CERT_FILE = "srv.zx.orvane.cert";
constexpr const char* QK_CLN_KEY_FILE = "cln.zx.orvane.key";
constexpr const char* QK_CLN_CERT_FILE = "cln.zx.orvane.cert";
constexpr const char* QK_GUI_KEY_FILE = "gui.zx.orvane.key";
constexpr const char* QK_GUI_CERT_FILE = "gui.zx.orvane.cert";
constexpr mode_t QK_KEY_FILE_MODE = 0600;
constexpr mode_t QK_CERT_FILE_MODE = 0644;
// Members of this group operate the services from their desktops: they may read the
// control program's key, which signs the records the services accept.
constexpr const char* QK_OPERATORS_GROUP = "qkrelay";

// <root>/ca/, <root>/common/keys/ and <root>/<program>/keys/.
std::string qk_ca_dir(const std::string& root);
std::string qk_common_keys_dir(const std::string& root);
std::string qk_program_keys_dir(const std::string& root, const std::string& program);

// Creates dir with its parents and checks that files can be written into it, so that such a
// failure comes before the first file is written rather than halfway.
void qk_make_key_directory(const std::string& dir);
// Makes the control program's key readable by the operators' group (mode 0640) when that
// group exists; otherwise it stays readable by its owner only.
void qk_share_with_operators(const std::string& key_fpath);
// The installed services run as system accounts of their own (qkrelay-srv for
// qk_relay_srvsvc, qkrelay-cln for qk_relay_clnsvc): a key written into a service's keys
// directory becomes its account's (still mode 0600) when that account exists, so the
// service reads it and no other account but root does. Other keys stay root's.
void qk_give_to_service_account(const std::string& key_fpath);
void qk_print_written(const std::string& fpath);
